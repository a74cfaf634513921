#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <stdexcept>
#include <string>

// Typed, range-checked reads of the keys of one JSON message (launcher lines
// and backend messages alike).
namespace vn {

// A message that is not a JSON object, or a key that is present with the
// wrong JSON type or a value outside the target type. Together with
// nlohmann::json::exception this is what the protocols call a JSON error.
class JsonFieldError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Each returns `fallback` when `key` is absent and throws JsonFieldError when
// `message` is not an object or the value does not fit. Numbers: integer or
// float JSON numbers (booleans and null are not numbers); floats are truncated
// toward zero for the integer reads.
std::string json_string(const nlohmann::json& message, const char* key, const std::string& fallback);
int32_t json_i32(const nlohmann::json& message, const char* key, int32_t fallback);
uint64_t json_u64(const nlohmann::json& message, const char* key, uint64_t fallback);
uint32_t json_u32(const nlohmann::json& message, const char* key, uint32_t fallback);
// JSON booleans only.
bool json_bool(const nlohmann::json& message, const char* key, bool fallback);
// Finite values up to float's largest magnitude.
float json_f32(const nlohmann::json& message, const char* key, float fallback);

}  // namespace vn
