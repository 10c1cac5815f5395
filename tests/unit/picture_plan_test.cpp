// Each picture's plan from pictures whose changes are known: which macroblocks libx264 is told did
// not change, keyframes and quantisers, and the offsets of moving and newly changed areas.
#include "recording/output/picture_plan.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "recording/output/frame_converter.hpp"

namespace darvo::recording::output {
namespace {

using namespace std::chrono_literals;
using capture::ImageArea;
using Blocks = std::set<std::pair<int, int>>;         // column, row
using Offsets = std::set<std::tuple<int, int, int>>;  // column, row, steps
using Changes = std::optional<std::vector<ImageArea>>;
const Changes kNothing{std::in_place};  // known: nothing changed

// 41 x 30 macroblocks, the last column 10 pixels wide, the last row 6 high; 1% of them is 12.
constexpr int kPictureWidth = 650, kPictureHeight = 470, kColumns = 41;
// A spinner in the bottom right corner, in macroblock columns 39-40 and rows 28-29.
constexpr ImageArea kSpinner{630, 450, 20, 20};
// What a toolkit reports around it: one rectangle over much more.
constexpr ImageArea kRepainted{0, 240, kPictureWidth, 240};

class PicturePlannerTest : public ::testing::Test {
 protected:
  // The next picture: the previous one with `painted` set to `value` in `plane` (0 is luma; a
  // chroma plane's area is in luma pixels).
  const AVFrame& draw(const std::vector<ImageArea>& painted, uint8_t value, int plane = 0) {
    FramePtr frame = allocatePicture(kPictureWidth, kPictureHeight);
    for (int p = 0; p < 3; ++p) {
      const int rows = p == 0 ? kPictureHeight : kPictureHeight / 2;
      for (int y = 0; y < rows; ++y) {
        uint8_t* row = frame->data[p] + y * frame->linesize[p];
        if (pictures_.empty()) {
          std::memset(row, 128, frame->linesize[p]);
        } else {
          std::memcpy(row, pictures_.back()->data[p] + y * frame->linesize[p], frame->linesize[p]);
        }
      }
    }
    const int shift = plane == 0 ? 0 : 1;
    for (const ImageArea& area : painted) {
      for (int y = area.y >> shift; y < (area.y + area.height) >> shift; ++y) {
        std::memset(frame->data[plane] + y * frame->linesize[plane] + (area.x >> shift), value,
                    area.width >> shift);
      }
    }
    pictures_.push_back(std::move(frame));
    return *pictures_.back();
  }

  // Plans the next picture, `gap` after the last, with `value` painted into `painted`, its
  // changes reported as `changed`.
  PicturePlan next(const Changes& changed, const std::vector<ImageArea>& painted, uint8_t value,
                   capture::CaptureClock::duration gap = 66ms, int plane = 0) {
    const AVFrame* before = pictures_.empty() ? nullptr : pictures_.back().get();
    const AVFrame& after = draw(painted, value, plane);
    time_ += gap;
    return changed ? planner_.next(std::span(*changed), before, after, time_)
                   : planner_.next(std::nullopt, before, after, time_);
  }
  Offsets offsets(const std::vector<ImageArea>& changed, const std::vector<ImageArea>& painted,
                  uint8_t value, capture::CaptureClock::duration gap = 66ms) {
    Offsets found;
    const PicturePlan plan = next(changed, painted, value, gap);
    for (size_t i = 0; i < plan.quantiserOffsets.size(); ++i) {
      if (plan.quantiserOffsets[i] != 0) {
        found.emplace(i % kColumns, i / kColumns, static_cast<int>(plan.quantiserOffsets[i]));
      }
    }
    return found;
  }

  EncoderSettings settings_ = [] {
    EncoderSettings settings;
    settings.keyframeInterval = 8;
    return settings;
  }();
  PicturePlanner planner_{kPictureWidth, kPictureHeight, settings_};
  std::vector<FramePtr> pictures_;
  capture::CaptureClock::time_point time_;
};

// The macroblocks not flagged constant in `plan`; nullopt when it flags none.
std::optional<Blocks> unflagged(const PicturePlan& plan) {
  if (plan.constantMacroblocks.empty()) return std::nullopt;
  Blocks blocks;
  for (size_t i = 0; i < plan.constantMacroblocks.size(); ++i) {
    if (plan.constantMacroblocks[i] != kConstantMacroblock)
      blocks.emplace(i % kColumns, i / kColumns);
  }
  return blocks;
}

TEST_F(PicturePlannerTest, FlagsOnlyMacroblocksWhosePixelsStayedAndOnlyWhenChangesAreKnown) {
  EXPECT_EQ(unflagged(next(kNothing, {}, 0)), std::nullopt);  // the first picture, a keyframe
  EXPECT_EQ(unflagged(next(kNothing, {}, 0)), std::nullopt);  // right after a keyframe
  // Luma painted in one macroblock and reported; chroma alone painted in another; a reported
  // area whose pixels stayed; the last, partial, macroblock of the picture.
  const ImageArea luma{32, 16, 16, 16}, chroma{64, 64, 16, 16}, same{160, 160, 40, 40};
  const ImageArea corner{640, 464, 10, 6};
  next({{{luma, same, corner}}}, {luma, corner}, 200);
  EXPECT_EQ(unflagged(next({{{chroma, same, corner}}}, {chroma}, 20, 66ms, 1)), (Blocks{{4, 4}}));
  EXPECT_EQ(unflagged(next({{{chroma, same, corner}}}, {chroma}, 90, 66ms, 2)), (Blocks{{4, 4}}));
  const ImageArea two{20, 0, 16, 8};  // across macroblock columns 1 and 2
  EXPECT_EQ(unflagged(next({{{kRepainted, two, corner}}}, {two, corner}, 30)),
            (Blocks{{1, 0}, {2, 0}, {40, 29}}));
  // Where an image changed is not known (a new source, a scaled image): nothing is flagged.
  EXPECT_EQ(unflagged(next(std::nullopt, {two}, 40)), std::nullopt);
  // The same picture again: every macroblock.
  EXPECT_EQ(unflagged(next(kNothing, {}, 0)), Blocks{});
  // The eighth picture is a keyframe: neither it nor the next is flagged.
  EXPECT_EQ(unflagged(next(kNothing, {}, 0)), std::nullopt);
  EXPECT_EQ(unflagged(next(kNothing, {}, 0)), std::nullopt);
  EXPECT_EQ(unflagged(next(kNothing, {}, 0)), Blocks{});
}

TEST_F(PicturePlannerTest, KeyframesComeAtTheirIntervalAtAFinerFixedQuantiser) {
  for (int picture = 0; picture < 17; ++picture) {
    const bool keyframe = picture % settings_.keyframeInterval == 0;
    // Whatever changes, the quantiser stays: libx264 skips a constant macroblock only where its
    // reference was coded no coarser.
    const PicturePlan plan = next(std::nullopt, {{0, 0, kPictureWidth, picture * 20}}, picture);
    EXPECT_EQ(plan.keyframe, keyframe) << picture;
    EXPECT_EQ(plan.quantiser,
              keyframe ? settings_.quantiser - settings_.keyframeFinerSteps : settings_.quantiser)
        << picture;
  }
}

TEST_F(PicturePlannerTest, SpinnerCoarsensOnceItKeepsMovingAndIsRefinedOnceAtRest) {
  const auto spinner = [](int steps) {
    return Offsets{{39, 28, steps}, {40, 28, steps}, {39, 29, steps}, {40, 29, steps}};
  };
  uint8_t value = 10;
  for (int picture = 1; picture < MovingAreaQuantiser::kMovingRun; ++picture, value += 10) {
    EXPECT_EQ(offsets({kRepainted}, {kSpinner}, value), Offsets{}) << picture;
  }
  EXPECT_EQ(offsets({kRepainted}, {kSpinner}, value += 10), spinner(12));
  EXPECT_EQ(offsets({kRepainted}, {kSpinner}, value += 10), spinner(12));
  EXPECT_EQ(offsets({}, {kSpinner}, value), spinner(-6));  // a repeat: nothing changed
  EXPECT_EQ(offsets({}, {kSpinner}, value), Offsets{});
  // A report of changes where the pixels stayed the same counts for nothing.
  EXPECT_EQ(offsets({kRepainted}, {kSpinner}, value), Offsets{});
}

TEST_F(PicturePlannerTest, NothingCoarsensWhenPicturesAreFarApartOrMuchMoves) {
  // Thirteen macroblocks change: 4 of the spinner, 9 of a bar.
  const ImageArea bar{0, 400, 9 * 16, 16};
  offsets({}, {kSpinner, bar}, 10);
  uint8_t value = 20;
  for (int picture = 0; picture <= MovingAreaQuantiser::kMovingRun; ++picture, value += 10) {
    EXPECT_EQ(offsets({kRepainted, bar}, {kSpinner, bar}, value, 150ms), Offsets{}) << picture;
  }
  for (int picture = 0; picture <= MovingAreaQuantiser::kMovingRun; ++picture, value += 10) {
    EXPECT_EQ(offsets({kRepainted, bar}, {kSpinner, bar}, value), Offsets{}) << picture;
  }
}

TEST_F(PicturePlannerTest, WhatChangesOnceIsRefinedWhileLittleDoes) {
  offsets({}, {}, 0);  // the first picture: everything in it is new
  offsets({}, {}, 0);
  // Reaching one pixel into the next macroblock.
  const ImageArea glyph{100, 100, 13, 12};
  EXPECT_EQ(offsets({kRepainted, glyph}, {glyph}, 50), (Offsets{{6, 6, -6}, {7, 6, -6}}));
  EXPECT_EQ(offsets({glyph}, {glyph}, 60), Offsets{});  // changing on: no longer once
  EXPECT_EQ(offsets({glyph}, {glyph}, 60), Offsets{});
  // Twelve macroblocks are 1% of the picture; thirteen are a new page, coded as without offsets.
  const ImageArea line{0, 400, 12 * 16, 16};
  Offsets refined;
  for (int column = 0; column < 12; ++column) refined.emplace(column, 25, -6);
  EXPECT_EQ(offsets({line}, {line}, 70), refined);
  EXPECT_EQ(offsets({line, glyph}, {line, glyph}, 80, 150ms), Offsets{});
}

}  // namespace
}  // namespace darvo::recording::output
