#include "html/builder.h"

#include <cstddef>
#include <iterator>
#include <memory>

namespace velmora::html {

namespace attr {
#define VELMORA_HTML_DEFINE_ATTRIBUTE(identifier, markup) \
  thread_local std::optional<std::string> identifier;
VELMORA_HTML_ATTRIBUTES(VELMORA_HTML_DEFINE_ATTRIBUTE)
#undef VELMORA_HTML_DEFINE_ATTRIBUTE
}  // namespace attr

thread_local std::optional<std::string> innerText;

namespace {

#define VELMORA_HTML_MARKUP_NAME(identifier, markup) markup,
constexpr std::string_view elementList[] = {VELMORA_HTML_ELEMENTS(VELMORA_HTML_MARKUP_NAME)};
constexpr std::string_view attributeList[] = {VELMORA_HTML_ATTRIBUTES(VELMORA_HTML_MARKUP_NAME)};
#undef VELMORA_HTML_MARKUP_NAME
static_assert(std::size(elementList) == elementCount);
static_assert(std::size(attributeList) == attributeCount);

template <std::size_t count>
constexpr std::array<std::string_view, count> toArray(const std::string_view (&list)[count]) {
  std::array<std::string_view, count> result{};
  for (std::size_t index = 0; index < count; ++index) result[index] = list[index];
  return result;
}
constexpr auto elementArray = toArray(elementList);
constexpr auto attributeArray = toArray(attributeList);

// The markup built so far on this thread, at the current nesting level.
thread_local std::string markupBuffer;

// The attribute variables followed by innerText; each element saves and clears all of them.
constexpr std::size_t variableCount = attributeCount + 1;
constexpr std::size_t innerTextSlot = attributeCount;
using Variables = std::array<std::optional<std::string>*, variableCount>;

// This thread's variables (thread_local addresses differ per thread).
Variables& variables() {
#define VELMORA_HTML_ADDRESS(identifier, markup) &attr::identifier,
  thread_local Variables slots{VELMORA_HTML_ATTRIBUTES(VELMORA_HTML_ADDRESS)
                                   std::addressof(innerText)};
#undef VELMORA_HTML_ADDRESS
  return slots;
}

// Saves and clears every variable on construction and puts the saved values back on destruction,
// also when a block throws. Only present values are kept: most elements set none or few.
class VariablesScope {
 public:
  VariablesScope() : slots_(variables()) {
    for (std::size_t index = 0; index < variableCount; ++index) {
      if (slots_[index]->has_value()) {
        saved_.emplace_back(index, std::move(**slots_[index]));
        slots_[index]->reset();
      }
    }
  }
  ~VariablesScope() {
    for (auto* slot : slots_) slot->reset();
    for (auto& [index, value] : saved_) *slots_[index] = std::move(value);
  }
  VariablesScope(const VariablesScope&) = delete;
  VariablesScope& operator=(const VariablesScope&) = delete;

 private:
  Variables& slots_;
  std::vector<std::pair<std::size_t, std::string>> saved_;
};

// Runs the block on an empty buffer and returns what it built; the buffer is as before afterwards,
// also when the block throws.
std::string collect(const Block& block) {
  struct Restore {
    std::string outer;
    ~Restore() { markupBuffer = std::move(outer); }
  };
  std::string built;
  {
    Restore restore{std::exchange(markupBuffer, std::string())};
    if (block) block();
    built = std::exchange(markupBuffer, std::string());
  }
  return built;
}

// Writes ` name="value"` for every present variable in list order, then the fixed attributes,
// which replace a variable of the same name in its place.
void appendAttributes(std::string& out, const Variables& slots, const FixedAttributes& fixed) {
  std::vector<std::pair<std::string_view, const std::optional<std::string>*>> merged;
  for (std::size_t index = 0; index < attributeCount; ++index) {
    if (slots[index]->has_value()) merged.emplace_back(attributeArray[index], slots[index]);
  }
  for (const auto& [name, value] : fixed) {
    auto found = merged.begin();
    while (found != merged.end() && found->first != name) ++found;
    if (found == merged.end()) {
      merged.emplace_back(name, &value);
    } else {
      found->second = &value;
    }
  }
  for (const auto& [name, value] : merged) {
    if (!value->has_value()) continue;
    out += ' ';
    out += name;
    out += "=\"";
    out += **value;
    out += '"';
  }
}

const FixedAttributes noFixedAttributes;

}  // namespace

const std::array<std::string_view, elementCount>& elementNames() {
  return elementArray;
}
const std::array<std::string_view, attributeCount>& attributeNames() {
  return attributeArray;
}

void buildElement(std::string_view name, const FixedAttributes& fixed, const Block& block) {
  VariablesScope scope;
  std::string children = collect(block);
  const Variables& slots = variables();
  markupBuffer += '<';
  markupBuffer += name;
  appendAttributes(markupBuffer, slots, fixed);
  markupBuffer += '>';
  if (const auto& text = *slots[innerTextSlot]) {
    markupBuffer += *text;
  } else {
    markupBuffer += children;
  }
  markupBuffer += "</";
  markupBuffer += name;
  markupBuffer += '>';
}

#define VELMORA_HTML_DEFINE_ELEMENT(identifier, markup) \
  void identifier(const Block& block) {                 \
    buildElement(markup, noFixedAttributes, block);     \
  }
VELMORA_HTML_ELEMENTS(VELMORA_HTML_DEFINE_ELEMENT)
#undef VELMORA_HTML_DEFINE_ELEMENT

void genericElement(std::string_view name, const Block& block) {
  buildElement(name, noFixedAttributes, block);
}

void genericElement(std::string_view name, const FixedAttributes& fixed, const Block& block) {
  buildElement(name, fixed, block);
}

void styleSheet(const Block& block) {
  static const FixedAttributes fixed{{"rel", "stylesheet"}, {"type", "text/css"}};
  buildElement("link", fixed, block);
}

void scriptBlock(const Block& block) {
  static const FixedAttributes fixed{{"type", "text/javascript"}};
  buildElement("script", fixed, block);
}

std::string render(const Block& block) {
  VariablesScope scope;
  return collect(block);
}

}  // namespace velmora::html
