#include "plugin/event_watch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lumet_windows_vpn {
namespace {

struct Probe {
    bool agent;
    bool service;
    uint32_t generation;
    std::vector<std::string> events;
};

void RunProbes(const char* name, const std::vector<Probe>& probes) {
    SCOPED_TRACE(name);
    EventWatch watch;
    for (size_t i = 0; i < probes.size(); ++i) {
        const Probe& p = probes[i];
        EXPECT_EQ(watch.Observe(p.agent, p.service, p.generation), p.events) << "probe " << i;
    }
}

TEST(EventWatchTest, Sequences) {
    RunProbes("both up at start, then steady",
              {{true, true, 7, {"agentConnected", "serviceConnected"}}, {true, true, 7, {}}});
    RunProbes("down at start reports nothing", {{false, false, 0, {}}, {false, false, 0, {}}});
    RunProbes(
        "agent restarts with a new generation",
        {{true, true, 7, {"agentConnected", "serviceConnected"}},
         // The lost exchange leaves the old generation in the link.
         {false, false, 7, {"agentDisconnected", "serviceDisconnected"}},
         {true, true, 9, {"agentConnected", "serviceConnected", "serviceGenerationChanged"}}});
    RunProbes("service link flaps under one agent", {{true, false, 3, {"agentConnected"}},
                                                     {true, true, 3, {"serviceConnected"}},
                                                     {true, false, 3, {"serviceDisconnected"}}});
    RunProbes("first non-zero generation is only remembered",
              {{false, false, 0, {}},
               {true, false, 5, {"agentConnected"}},
               {true, false, 0, {}},
               {true, false, 5, {}},
               {true, false, 6, {"serviceGenerationChanged"}}});
}

}  // namespace
}  // namespace lumet_windows_vpn
