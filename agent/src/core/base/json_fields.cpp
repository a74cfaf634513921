#include "core/base/json_fields.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

namespace vn {
namespace {

// The value under `key`, or null when the key is absent.
const nlohmann::json* member(const nlohmann::json& message, const char* key) {
  if (!message.is_object()) throw JsonFieldError("message is not a JSON object");
  const auto it = message.find(key);
  return it == message.end() ? nullptr : &*it;
}

[[noreturn]] void reject(const char* key, const char* problem) {
  throw JsonFieldError(std::string("field '") + key + "' " + problem);
}

const nlohmann::json* number_member(const nlohmann::json& message, const char* key) {
  const nlohmann::json* value = member(message, key);
  if (value != nullptr && !value->is_number()) reject(key, "must be a number");
  return value;
}

}  // namespace

std::string json_string(const nlohmann::json& message, const char* key, const std::string& fallback) {
  const nlohmann::json* value = member(message, key);
  if (value == nullptr) return fallback;
  if (!value->is_string()) reject(key, "must be a string");
  return value->get<std::string>();
}

int32_t json_i32(const nlohmann::json& message, const char* key, int32_t fallback) {
  const nlohmann::json* value = number_member(message, key);
  if (value == nullptr) return fallback;
  constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  if (value->is_number_unsigned()) {
    const auto v = value->get<uint64_t>();
    if (v > static_cast<uint64_t>(kMax)) reject(key, "is out of range");
    return static_cast<int32_t>(v);
  }
  if (value->is_number_integer()) {
    const auto v = value->get<int64_t>();
    if (v < kMin || v > kMax) reject(key, "is out of range");
    return static_cast<int32_t>(v);
  }
  const auto v = value->get<double>();
  if (!(v > static_cast<double>(kMin) - 1.0 && v < static_cast<double>(kMax) + 1.0)) reject(key, "is out of range");
  return static_cast<int32_t>(v);
}

uint64_t json_u64(const nlohmann::json& message, const char* key, uint64_t fallback) {
  const nlohmann::json* value = number_member(message, key);
  if (value == nullptr) return fallback;
  if (value->is_number_unsigned()) return value->get<uint64_t>();
  if (value->is_number_integer()) {
    const auto v = value->get<int64_t>();
    if (v < 0) reject(key, "is out of range");
    return static_cast<uint64_t>(v);
  }
  const auto v = value->get<double>();
  constexpr double kTwoTo64 = 18446744073709551616.0;
  if (!(v > -1.0 && v < kTwoTo64)) reject(key, "is out of range");
  return static_cast<uint64_t>(v);
}

uint32_t json_u32(const nlohmann::json& message, const char* key, uint32_t fallback) {
  const uint64_t value = json_u64(message, key, fallback);
  if (value > std::numeric_limits<uint32_t>::max()) reject(key, "is out of range");
  return static_cast<uint32_t>(value);
}

bool json_bool(const nlohmann::json& message, const char* key, bool fallback) {
  const nlohmann::json* value = member(message, key);
  if (value == nullptr) return fallback;
  if (!value->is_boolean()) reject(key, "must be a boolean");
  return value->get<bool>();
}

float json_f32(const nlohmann::json& message, const char* key, float fallback) {
  const nlohmann::json* value = number_member(message, key);
  if (value == nullptr) return fallback;
  const auto v = value->get<double>();
  if (!(std::fabs(v) <= static_cast<double>(std::numeric_limits<float>::max()))) reject(key, "is out of range");
  return static_cast<float>(v);
}

}  // namespace vn
