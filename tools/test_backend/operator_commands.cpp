#include "operator_commands.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "console_output.h"

namespace vn::tools::backend_cli {
namespace {

// Splits off the first space-separated word of `rest`; `rest` keeps what follows it.
std::string next_word(std::string& rest) {
  size_t start = rest.find_first_not_of(" \t");
  if (start == std::string::npos) {
    rest.clear();
    return {};
  }
  size_t end = rest.find_first_of(" \t", start);
  std::string word = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
  size_t after = end == std::string::npos ? std::string::npos : rest.find_first_not_of(" \t", end);
  rest = after == std::string::npos ? std::string() : rest.substr(after);
  return word;
}

}  // namespace

CommandResult run_command(TestBackend& backend, std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::string rest = line;
  const std::string cmd = next_word(rest);
  if (cmd.empty()) return CommandResult::kGoOn;
  auto sent = [](bool ok) {
    if (!ok) out("error: not sent (no agent connected?)");
  };
  if (cmd == "quit") return CommandResult::kQuit;
  if (cmd == "prepare") {
    std::string session_id = next_word(rest);
    if (session_id.empty()) {
      out("error: prepare needs a session id");
      return CommandResult::kGoOn;
    }
    nlohmann::json message = {{"type", "prepare_session"}, {"session_id", session_id}};
    if (!rest.empty()) {
      auto extra = nlohmann::json::parse(rest, nullptr, false);
      if (!extra.is_object()) {
        out("error: prepare: the extra keys must be one JSON object: " + one_line(rest));
        return CommandResult::kGoOn;
      }
      message.update(extra);  // its keys win, so crafted messages are possible
    }
    sent(backend.send_json(message));
  } else if (cmd == "terminate") {
    std::string session_id = next_word(rest);
    if (session_id.empty()) {
      out("error: terminate needs a session id");
      return CommandResult::kGoOn;
    }
    nlohmann::json message = {{"type", "terminate_session"}, {"session_id", session_id}};
    if (!rest.empty()) message["reason"] = rest;
    sent(backend.send_json(message));
  } else if (cmd == "ping") {
    sent(backend.send_json({{"type", "ping"}}));
  } else if (cmd == "wsping") {
    if (rest.size() > 125) {
      out("error: wsping: payload over 125 bytes");
      return CommandResult::kGoOn;
    }
    sent(backend.send_ping(rest));
  } else if (cmd == "close") {
    long code = 1000;
    if (std::string word = next_word(rest); !word.empty()) {
      char* end = nullptr;
      code = std::strtol(word.c_str(), &end, 10);
      if (*end != '\0' || code < 0 || code > 65535) {
        out("error: close: bad code '" + one_line(word) + "'");
        return CommandResult::kGoOn;
      }
    }
    if (rest.size() > 123) {
      out("error: close: reason over 123 bytes");
      return CommandResult::kGoOn;
    }
    sent(backend.send_close(static_cast<uint16_t>(code), rest));
  } else if (cmd == "send") {
    // Everything after "send " as it is, inner spaces included.
    size_t at = line.find("send") + 4;
    if (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    sent(backend.send_text(line.substr(std::min(at, line.size()))));
  } else if (cmd == "drop") {
    if (!backend.drop()) out("error: no agent connected");
  } else {
    out("error: unknown command '" + one_line(cmd) + "' (see --help)");
  }
  return CommandResult::kGoOn;
}

}  // namespace vn::tools::backend_cli
