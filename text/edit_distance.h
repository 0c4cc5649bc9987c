// How many letters one name is from another (insertions, deletions, substitutions): a name
// typed wrong, in a scenario or a CAN profile, is usually a letter or two from the one meant.
#ifndef VONTREL_TEXT_EDIT_DISTANCE_H
#define VONTREL_TEXT_EDIT_DISTANCE_H

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <vector>

namespace vontrel {

inline std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) {
    row[j] = j;
  }
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace vontrel

#endif  // VONTREL_TEXT_EDIT_DISTANCE_H
