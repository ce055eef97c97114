#include "common/messages.h"

#include <cstdio>

namespace lumet::common {

HelloInfo AgentHelloInfo() {
    HelloInfo info;
    info.version = kVersionText;
    info.capabilities = {"control-plane", "health", "events", "wireguard", "vpn-activity"};
    return info;
}

HelloInfo ServiceHelloInfo() {
    HelloInfo info;
    info.version = kVersionText;
    info.capabilities = {"control-plane", "health", "wireguard", "openvpn-staging", "vpn-activity"};
    return info;
}

bool Write(PayloadWriter& writer, const HelloInfo& record) {
    writer.WriteU16(record.protocol);
    return writer.WriteString(record.version) && writer.WriteStringList(record.capabilities);
}

bool Read(PayloadReader& reader, HelloInfo* record) {
    if (record == nullptr) {
        reader.Fail();
        return false;
    }
    return reader.ReadU16(&record->protocol) && reader.ReadString(&record->version) &&
           reader.ReadStringList(&record->capabilities);
}

bool Write(PayloadWriter& writer, const ServiceHealthRecord& record) {
    writer.WriteU8(record.state);
    if (!Write(writer, record.hello) || !writer.WriteString(record.generation_text)) {
        return false;
    }
    writer.WriteU64(record.uptime_seconds);
    return true;
}

bool Read(PayloadReader& reader, ServiceHealthRecord* record) {
    if (record == nullptr) {
        reader.Fail();
        return false;
    }
    return reader.ReadU8(&record->state) && Read(reader, &record->hello) &&
           reader.ReadString(&record->generation_text) && reader.ReadU64(&record->uptime_seconds);
}

bool Write(PayloadWriter& writer, const AgentHealthRecord& record) {
    writer.WriteU8(record.state);
    if (!Write(writer, record.hello)) {
        return false;
    }
    writer.WriteU32(record.session_id);
    if (!writer.WriteString(record.generation_text)) {
        return false;
    }
    writer.WriteBool(record.service_link_up);
    return true;
}

bool Read(PayloadReader& reader, AgentHealthRecord* record) {
    if (record == nullptr) {
        reader.Fail();
        return false;
    }
    return reader.ReadU8(&record->state) && Read(reader, &record->hello) &&
           reader.ReadU32(&record->session_id) && reader.ReadString(&record->generation_text) &&
           reader.ReadBool(&record->service_link_up);
}

bool Write(PayloadWriter& writer, const WireGuardStatusRecord& record) {
    writer.WriteU8(record.state);
    writer.WriteBool(record.adapter_present);
    writer.WriteU64(record.rx_bytes);
    writer.WriteU64(record.tx_bytes);
    writer.WriteU64(record.last_handshake_ms);
    writer.WriteU16(record.error);
    return true;
}

bool Read(PayloadReader& reader, WireGuardStatusRecord* record) {
    if (record == nullptr) {
        reader.Fail();
        return false;
    }
    return reader.ReadU8(&record->state) && reader.ReadBool(&record->adapter_present) &&
           reader.ReadU64(&record->rx_bytes) && reader.ReadU64(&record->tx_bytes) &&
           reader.ReadU64(&record->last_handshake_ms) && reader.ReadU16(&record->error);
}

bool Write(PayloadWriter& writer, const OpenVpnStatusRecord& record) {
    writer.WriteU8(record.state);
    writer.WriteBool(record.running);
    writer.WriteU64(record.bytes_in);
    writer.WriteU64(record.bytes_out);
    writer.WriteU64(record.connected_since_ms);
    writer.WriteU16(record.error);
    writer.WriteU32(record.attempt);
    return true;
}

bool Read(PayloadReader& reader, OpenVpnStatusRecord* record) {
    if (record == nullptr) {
        reader.Fail();
        return false;
    }
    return reader.ReadU8(&record->state) && reader.ReadBool(&record->running) &&
           reader.ReadU64(&record->bytes_in) && reader.ReadU64(&record->bytes_out) &&
           reader.ReadU64(&record->connected_since_ms) && reader.ReadU16(&record->error) &&
           reader.ReadU32(&record->attempt);
}

bool Write(PayloadWriter& writer, const OpenVpnCapabilitiesRecord& record) {
    writer.WriteU8(record.openvpn_found);
    if (!writer.WriteString(record.openvpn_version)) {
        return false;
    }
    writer.WriteU8(record.interactive_service_installed);
    writer.WriteU8(record.interactive_service_running);
    writer.WriteU8(record.spare_1);
    writer.WriteU8(record.spare_2);
    return true;
}

bool Read(PayloadReader& reader, OpenVpnCapabilitiesRecord* record) {
    if (record == nullptr) {
        reader.Fail();
        return false;
    }
    return reader.ReadU8(&record->openvpn_found) && reader.ReadString(&record->openvpn_version) &&
           reader.ReadU8(&record->interactive_service_installed) &&
           reader.ReadU8(&record->interactive_service_running) && reader.ReadU8(&record->spare_1) &&
           reader.ReadU8(&record->spare_2);
}

bool Write(PayloadWriter& writer, const OpenVpnActivityReport& record) {
    writer.WriteBool(record.active);
    writer.WriteU32(record.attempt);
    writer.WriteU32(record.openvpn_pid);
    return true;
}

bool Read(PayloadReader& reader, OpenVpnActivityReport* record) {
    if (record == nullptr) {
        reader.Fail();
        return false;
    }
    return reader.ReadBool(&record->active) && reader.ReadU32(&record->attempt) &&
           reader.ReadU32(&record->openvpn_pid);
}

void WriteStatus(PayloadWriter& writer, Status status) {
    writer.WriteU16(static_cast<uint16_t>(status));
}

bool ReadStatus(PayloadReader& reader, Status* status) {
    uint16_t value = 0;
    if (status == nullptr) {
        reader.Fail();
        return false;
    }
    if (!reader.ReadU16(&value)) {
        return false;
    }
    *status = static_cast<Status>(value);
    return true;
}

std::vector<uint8_t> StatusOnly(Status status) {
    PayloadWriter writer;
    WriteStatus(writer, status);
    return writer.Take();
}

std::string FormatGenerationText(uint32_t pid, uint32_t value) {
    // 10 digits + "-0x" + 8 digits + NUL fits with room to spare.
    char text[32];
    std::snprintf(text, sizeof(text), "%lu-0x%08lX", static_cast<unsigned long>(pid),
                  static_cast<unsigned long>(value));
    return text;
}

uint32_t NonZeroGeneration(uint32_t value) {
    return value == 0 ? 1 : value;
}

}  // namespace lumet::common
