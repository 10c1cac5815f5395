// The twice-a-second check of the recording and its window.
#pragma once

#include <cstdint>
#include <optional>

namespace darvo::recorder {
class WindowRecorder;
}

namespace darvo::supervision {

inline constexpr int64_t kSizeLimitBytes = int64_t{1} << 28;  // 256 MiB over all segments
inline constexpr const char* kWindowReusedDetail = "window_reused";

// One tick, main thread: readiness, duration, outline, on-screen reports, closed or reused
// window, size limit, the test hook's simulated stop, and the automatic resume.
void checkHealth(recorder::WindowRecorder& recorder, std::optional<double> testStopAt);

}  // namespace darvo::supervision
