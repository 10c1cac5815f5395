#include "recording/output/picture_updates.hpp"

#include <algorithm>

namespace darvo::recording::output {

void PictureUpdates::addImage(std::optional<std::span<const capture::ImageArea>> changes) {
  ++latest_;
  if (changes) {
    changes_.emplace_back(std::vector<capture::ImageArea>(changes->begin(), changes->end()));
  } else {
    changes_.emplace_back(std::nullopt);
  }
  if (changes_.size() > kRemembered) {
    changes_.pop_front();
  }
}

std::optional<std::vector<capture::ImageArea>> PictureUpdates::staleAreas(
    const void* picture) const {
  const auto shown = shown_.find(picture);
  if (shown == shown_.end() || latest_ - shown->second > changes_.size()) {
    return std::nullopt;
  }
  std::vector<capture::ImageArea> areas;
  for (auto image = changes_.end() - static_cast<ptrdiff_t>(latest_ - shown->second);
       image != changes_.end(); ++image) {
    if (!*image) {
      return std::nullopt;
    }
    for (const capture::ImageArea& area : **image) {
      // Toolkits often repaint nearly the same rectangle image after image: overlapping areas
      // are converted once, as the rectangle around both.
      const auto overlaps = [&](const capture::ImageArea& other) {
        return area.x < other.x + other.width && other.x < area.x + area.width &&
               area.y < other.y + other.height && other.y < area.y + area.height;
      };
      const auto found = std::find_if(areas.begin(), areas.end(), overlaps);
      if (found == areas.end()) {
        areas.push_back(area);
        continue;
      }
      const int right = std::max(found->x + found->width, area.x + area.width);
      const int bottom = std::max(found->y + found->height, area.y + area.height);
      found->x = std::min(found->x, area.x);
      found->y = std::min(found->y, area.y);
      found->width = right - found->x;
      found->height = bottom - found->y;
    }
  }
  return areas;
}

void PictureUpdates::showsLatest(const void* picture) {
  shown_[picture] = latest_;
}

void PictureUpdates::forget(const void* picture) {
  shown_.erase(picture);
}

}  // namespace darvo::recording::output
