// Which parts of a recycled picture must be converted again before it shows the latest image:
// each image's changes are kept for a few images, and each picture remembers the image it shows.
// Used by the capture thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "capture/video_sink.hpp"

namespace darvo::recording::output {

class PictureUpdates {
 public:
  // Images remembered; a picture further behind is converted whole.
  static constexpr size_t kRemembered = 8;

  // The next image, with what changed since the one before it; nullopt when that is not known.
  void addImage(std::optional<std::span<const capture::ImageArea>> changes);
  // Where `picture` may differ from the latest image; nullopt when anywhere.
  [[nodiscard]] std::optional<std::vector<capture::ImageArea>> staleAreas(
      const void* picture) const;
  // `picture` shows the latest image now.
  void showsLatest(const void* picture);
  // What `picture` shows is not known (it is being drawn, or the drawing failed).
  void forget(const void* picture);

 private:
  uint64_t latest_ = 0;  // images added so far
  std::deque<std::optional<std::vector<capture::ImageArea>>>
      changes_;  // of the latest images, oldest first
  std::unordered_map<const void*, uint64_t> shown_;
};

}  // namespace darvo::recording::output
