#pragma once

namespace velmora::platform {

// Builds one visitor from several lambdas, for std::visit over a closed set of cases.
template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace velmora::platform
