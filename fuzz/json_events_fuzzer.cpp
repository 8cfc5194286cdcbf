// Any bytes as a JSON document: the scanner must accept exactly what nlohmann::json's parser
// accepts and report the same structure, keys and decoded strings.

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "fuzz/fuzz_support.h"
#include "platform/json_events.h"

namespace {

// Both sides write the events they see in one notation.
class Recorder final : public velmora::platform::JsonEventSink {
 public:
  std::string events;
  bool beginContainer(bool isObject) override { return add(isObject ? "{" : "["); }
  bool endContainer() override { return add("}"); }
  bool key(std::string_view name) override { return add("k" + std::to_string(name.size()) + ":" + std::string(name)); }
  bool string(std::string_view text) override { return add("s" + std::to_string(text.size()) + ":" + std::string(text)); }
  bool scalar() override { return add("v"); }

 private:
  bool add(const std::string& event) {
    events += event;
    events += ' ';
    return true;
  }
};

class TreeRecorder final : public nlohmann::json::json_sax_t {
 public:
  std::string events;
  bool null() override { return add("v"); }
  bool boolean(bool) override { return add("v"); }
  bool number_integer(number_integer_t) override { return add("v"); }
  bool number_unsigned(number_unsigned_t) override { return add("v"); }
  bool number_float(number_float_t, const string_t&) override { return add("v"); }
  bool string(string_t& text) override { return add("s" + std::to_string(text.size()) + ":" + text); }
  bool binary(binary_t&) override { return add("v"); }
  bool start_object(std::size_t) override { return add("{"); }
  bool start_array(std::size_t) override { return add("["); }
  bool end_object() override { return add("}"); }
  bool end_array() override { return add("}"); }
  bool key(string_t& name) override { return add("k" + std::to_string(name.size()) + ":" + name); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  bool add(const std::string& event) {
    events += event;
    events += ' ';
    return true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text = velmora::fuzz::asText({data, size});
  Recorder mine;
  TreeRecorder theirs;
  const bool scanned = velmora::platform::scanJson(text, mine);
  const bool parsed = nlohmann::json::sax_parse(text, &theirs);
  FUZZ_CHECK(scanned == parsed);
  if (scanned) FUZZ_CHECK(mine.events == theirs.events);
  return 0;
}
