#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace velmora::relay {

// The tags in which models write their reasoning inside an answer, each with its closing tag;
// compared with case.
struct ReasoningTag {
  std::string_view open, close;
};
inline constexpr std::array<ReasoningTag, 3> kReasoningTags = {
    {{"<think>", "</think>"}, {"<thought>", "</thought>"}, {"<reason>", "</reason>"}}};
inline constexpr std::size_t kLongestReasoningTag = std::string_view("</thought>").size();

}  // namespace velmora::relay
