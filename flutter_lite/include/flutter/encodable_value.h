// The value type of the standard codec: a variant over the types Dart and native code exchange.
//
// The order of the variant's alternatives is part of the API: code switches on index().
#ifndef FLUTTER_LITE_CLIENT_WRAPPER_ENCODABLE_VALUE_H_
#define FLUTTER_LITE_CLIENT_WRAPPER_ENCODABLE_VALUE_H_

#include <any>
#include <cassert>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

// CustomEncodableValue::type() needs RTTI; detect it the way each compiler reports it.
#ifndef FLUTTER_ENABLE_RTTI
#if defined(_CPPRTTI)
#define FLUTTER_ENABLE_RTTI 1
#elif defined(__clang__)
#if __has_feature(cxx_rtti)
#define FLUTTER_ENABLE_RTTI 1
#endif
#elif defined(__GNUC__)
#ifdef __GXX_RTTI
#define FLUTTER_ENABLE_RTTI 1
#endif
#endif
#endif

#if defined(FLUTTER_ENABLE_RTTI) && FLUTTER_ENABLE_RTTI
#include <typeinfo>
#endif

#if (defined(_MSVC_LANG) && _MSVC_LANG >= 202002L) || __cplusplus >= 202002L
#define FLUTTER_LITE_THREE_WAY_COMPARISON 1
#include <compare>
#include <type_traits>
#endif

namespace flutter {

static_assert(sizeof(double) == 8, "EncodableValue requires a 64-bit double");

class EncodableValue;

// A value of an application-defined type, written and read by a serializer subclass.
class CustomEncodableValue {
  public:
    explicit CustomEncodableValue(const std::any& value) : value_(value) {}
    ~CustomEncodableValue() = default;

    operator std::any&() { return value_; }
    operator const std::any&() const { return value_; }

#if defined(FLUTTER_ENABLE_RTTI) && FLUTTER_ENABLE_RTTI
    const std::type_info& type() const noexcept {
        return value_.type();
    }
#endif

    // Custom values have no ordering or equality of their own; identity stands in for both.
    bool operator<(const CustomEncodableValue& other) const {
        return this < &other;
    }
    bool operator==(const CustomEncodableValue& other) const {
        return this == &other;
    }

  private:
    std::any value_;
};

using EncodableList = std::vector<EncodableValue>;
using EncodableMap = std::map<EncodableValue, EncodableValue>;

namespace internal {
#ifdef FLUTTER_LITE_THREE_WAY_COMPARISON
inline std::partial_ordering CompareEncodable(const EncodableValue& lhs, const EncodableValue& rhs);
#endif

using EncodableValueVariant =
    std::variant<std::monostate, bool, int32_t, int64_t, double, std::string, std::vector<uint8_t>,
                 std::vector<int32_t>, std::vector<int64_t>, std::vector<double>, EncodableList,
                 EncodableMap, CustomEncodableValue, std::vector<float>>;
}  // namespace internal

class EncodableValue : public internal::EncodableValueVariant {
  public:
    using super = internal::EncodableValueVariant;
    using super::super;
    using super::operator=;

    explicit EncodableValue() = default;

    // Without these a string literal would become a bool.
    explicit EncodableValue(const char* string) : super(std::string(string)) {}
    EncodableValue& operator=(const char* other) {
        *this = std::string(other);
        return *this;
    }

    EncodableValue(const CustomEncodableValue& v) : super(v) {}

    template <class T>
    constexpr explicit EncodableValue(T&& t) noexcept : super(t) {}

    bool IsNull() const { return std::holds_alternative<std::monostate>(*this); }

    // The value as int64 whether it holds int32 or int64; std::bad_variant_access otherwise.
    int64_t LongValue() const {
        if (std::holds_alternative<int32_t>(*this)) {
            return std::get<int32_t>(*this);
        }
        return std::get<int64_t>(*this);
    }

#ifdef FLUTTER_LITE_THREE_WAY_COMPARISON
    // Ordering: by alternative index first, then by value, as std::variant orders. It is written
    // out rather than delegated to the variant: in C++20 a comparison of the variant consults
    // three_way_comparable of every alternative, which for EncodableList leads back to
    // EncodableValue itself, and some compilers reject that recursion. A non-template
    // operator<=> found first ends the search.
    friend std::partial_ordering operator<=>(const EncodableValue& lhs, const EncodableValue& rhs) {
        return internal::CompareEncodable(lhs, rhs);
    }

    friend bool operator<(const EncodableValue& lhs, const EncodableValue& rhs) {
        return std::is_lt(internal::CompareEncodable(lhs, rhs));
    }
#else
    friend bool operator<(const EncodableValue& lhs, const EncodableValue& rhs) {
        return static_cast<const super&>(lhs) < static_cast<const super&>(rhs);
    }
#endif
};

#ifdef FLUTTER_LITE_THREE_WAY_COMPARISON

namespace internal {

template <typename T>
std::partial_ordering CompareSequences(const std::vector<T>& lhs, const std::vector<T>& rhs) {
    const size_t common = lhs.size() < rhs.size() ? lhs.size() : rhs.size();
    for (size_t i = 0; i < common; ++i) {
        std::partial_ordering order = std::partial_ordering::equivalent;
        if constexpr (std::is_same_v<T, EncodableValue>) {
            order = CompareEncodable(lhs[i], rhs[i]);
        } else {
            order = lhs[i] <=> rhs[i];
        }
        if (order != 0) {
            return order;
        }
    }
    return lhs.size() <=> rhs.size();
}

inline std::partial_ordering CompareEncodable(const EncodableValue& lhs,
                                              const EncodableValue& rhs) {
    if (lhs.index() != rhs.index()) {
        return lhs.index() <=> rhs.index();
    }
    return std::visit(
        [&rhs](const auto& left) -> std::partial_ordering {
            using T = std::decay_t<decltype(left)>;
            const T& right = std::get<T>(rhs);
            if constexpr (std::is_same_v<T, std::monostate>) {
                return std::partial_ordering::equivalent;
            } else if constexpr (std::is_same_v<T, CustomEncodableValue>) {
                if (left < right) {
                    return std::partial_ordering::less;
                }
                return right < left ? std::partial_ordering::greater
                                    : std::partial_ordering::equivalent;
            } else if constexpr (std::is_same_v<T, EncodableMap>) {
                auto l = left.begin();
                auto r = right.begin();
                for (; l != left.end() && r != right.end(); ++l, ++r) {
                    std::partial_ordering order = CompareEncodable(l->first, r->first);
                    if (order == 0) {
                        order = CompareEncodable(l->second, r->second);
                    }
                    if (order != 0) {
                        return order;
                    }
                }
                return left.size() <=> right.size();
            } else if constexpr (std::is_same_v<T, std::string> || std::is_arithmetic_v<T>) {
                return left <=> right;
            } else {
                return CompareSequences(left, right);
            }
        },
        static_cast<const EncodableValueVariant&>(lhs));
}

}  // namespace internal
#endif  // FLUTTER_LITE_THREE_WAY_COMPARISON

}  // namespace flutter

#endif  // FLUTTER_LITE_CLIENT_WRAPPER_ENCODABLE_VALUE_H_
