#pragma once

#include <ostream>

namespace velmora::testing {

// Table rows print as their name in test listings. Bring it into a test's namespace with
// `using velmora::testing::operator<<;` so that GoogleTest finds it for that file's rows.
template <typename Row>
requires requires(const Row& row) {
  row.name;
}
std::ostream& operator<<(std::ostream& stream, const Row& row) {
  return stream << row.name;
}

}  // namespace velmora::testing
