#include "recording/output/moving_areas.hpp"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <utility>
#include <vector>

#include "recording/output/frame_converter.hpp"

namespace darvo::recording::output {
namespace {

using namespace std::chrono_literals;
using Offsets = std::vector<std::pair<std::array<int, 4>, int>>;  // x, y, width, height; steps

// 41 x 30 macroblocks, the last column 10 pixels wide, the last row 6 high; 1% of them is 12.
constexpr int kPictureWidth = 650, kPictureHeight = 470;
// A spinner in the bottom right corner, in macroblock columns 39-40 and rows 28-29.
constexpr capture::ImageArea kSpinner{630, 450, 20, 20};
// What a toolkit reports around it: one rectangle over much more.
constexpr capture::ImageArea kRepainted{0, 240, kPictureWidth, 240};

Offsets flatten(const std::vector<QuantiserOffset>& offsets) {
  Offsets result;
  for (const auto& [area, steps] : offsets) {
    result.push_back({{area.x, area.y, area.width, area.height}, steps});
  }
  return result;
}

class MovingAreaQuantiserTest : public ::testing::Test {
 protected:
  // The next picture: the previous one with the luma of `painted` set to `value`.
  const AVFrame& draw(const std::vector<capture::ImageArea>& painted, uint8_t value) {
    FramePtr frame = allocatePicture(kPictureWidth, kPictureHeight);
    for (int plane = 0; plane < 3; ++plane) {
      const int rows = plane == 0 ? kPictureHeight : kPictureHeight / 2;
      for (int y = 0; y < rows; ++y) {
        uint8_t* row = frame->data[plane] + y * frame->linesize[plane];
        if (pictures_.empty()) {
          std::memset(row, 128, frame->linesize[plane]);
        } else {
          std::memcpy(row, pictures_.back()->data[plane] + y * frame->linesize[plane],
                      frame->linesize[plane]);
        }
      }
    }
    for (const capture::ImageArea& area : painted) {
      for (int y = area.y; y < area.y + area.height; ++y) {
        std::memset(frame->data[0] + y * frame->linesize[0] + area.x, value, area.width);
      }
    }
    pictures_.push_back(std::move(frame));
    return *pictures_.back();
  }

  // The offsets of the next picture, `gap` after the last, with `value` in `painted`, reported as
  // `changed`.
  Offsets next(const std::vector<capture::ImageArea>& changed,
               const std::vector<capture::ImageArea>& painted, uint8_t value,
               capture::CaptureClock::duration gap = 66ms) {
    const AVFrame* before = pictures_.empty() ? nullptr : pictures_.back().get();
    const AVFrame& after = draw(painted, value);
    time_ += gap;
    return flatten(quantiser_.next(changed, before, after, time_));
  }

  MovingAreaQuantiser quantiser_{kPictureWidth, kPictureHeight};
  std::vector<FramePtr> pictures_;
  capture::CaptureClock::time_point time_;
};

TEST_F(MovingAreaQuantiserTest, SpinnerCoarsensOnceItKeepsMovingAndIsRefinedOnceAtRest) {
  const Offsets coarse = {{{624, 448, 26, 16}, 12}, {{624, 464, 26, 6}, 12}};
  const Offsets settled = {{{624, 448, 26, 16}, -6}, {{624, 464, 26, 6}, -6}};
  uint8_t value = 10;
  for (int picture = 1; picture < MovingAreaQuantiser::kMovingRun; ++picture, value += 10) {
    EXPECT_EQ(next({kRepainted}, {kSpinner}, value), Offsets{}) << picture;
  }
  EXPECT_EQ(next({kRepainted}, {kSpinner}, value += 10), coarse);
  EXPECT_EQ(next({kRepainted}, {kSpinner}, value += 10), coarse);
  EXPECT_EQ(next({}, {kSpinner}, value), settled);  // a repeat: nothing changed
  EXPECT_EQ(next({}, {kSpinner}, value), Offsets{});
  // A report of changes where the pixels stayed the same counts for nothing.
  EXPECT_EQ(next({kRepainted}, {kSpinner}, value), Offsets{});
}

TEST_F(MovingAreaQuantiserTest, NothingCoarsensWhenPicturesAreFarApartOrMuchMoves) {
  // Thirteen macroblocks change: 4 of the spinner, 9 of a bar.
  const capture::ImageArea bar{0, 400, 9 * 16, 16};
  next({}, {kSpinner, bar}, 10);
  uint8_t value = 20;
  for (int picture = 0; picture <= MovingAreaQuantiser::kMovingRun; ++picture, value += 10) {
    EXPECT_EQ(next({kRepainted, bar}, {kSpinner, bar}, value, 150ms), Offsets{}) << picture;
  }
  for (int picture = 0; picture <= MovingAreaQuantiser::kMovingRun; ++picture, value += 10) {
    EXPECT_EQ(next({kRepainted, bar}, {kSpinner, bar}, value), Offsets{}) << picture;
  }
}

TEST_F(MovingAreaQuantiserTest, WhatChangesOnceIsRefinedWhileLittleDoes) {
  next({}, {}, 0);
  // Reaching one pixel into the next macroblock.
  const capture::ImageArea glyph{100, 100, 13, 12};
  EXPECT_EQ(next({kRepainted, glyph}, {glyph}, 50), (Offsets{{{96, 96, 32, 16}, -6}}));
  EXPECT_EQ(next({glyph}, {glyph}, 60), Offsets{});  // changing on: no longer once
  EXPECT_EQ(next({glyph}, {glyph}, 60), Offsets{});
  // Twelve macroblocks are 1% of the picture; thirteen are a new page, coded as without offsets.
  const capture::ImageArea line{0, 400, 12 * 16, 16};
  EXPECT_EQ(next({line}, {line}, 70), (Offsets{{{0, 400, 192, 16}, -6}}));
  EXPECT_EQ(next({line, glyph}, {line, glyph}, 80, 150ms), Offsets{});
}

TEST(QuantiserOffsetsTest, BecomeLibx264RegionsReplacingThePreviousOnes) {
  FramePtr frame = allocatePicture(64, 64);
  attachQuantiserOffsets(*frame, std::vector<QuantiserOffset>{{{16, 32, 48, 16}, 12}});
  const AVFrameSideData* data =
      av_frame_get_side_data(frame.get(), AV_FRAME_DATA_REGIONS_OF_INTEREST);
  ASSERT_NE(data, nullptr);
  ASSERT_EQ(data->size, sizeof(AVRegionOfInterest));
  const auto& region = *reinterpret_cast<const AVRegionOfInterest*>(data->data);
  EXPECT_EQ(region.self_size, sizeof(AVRegionOfInterest));
  EXPECT_EQ((std::array{region.left, region.top, region.right, region.bottom}),
            (std::array{16, 32, 64, 48}));
  EXPECT_DOUBLE_EQ(av_q2d(region.qoffset) * 51, 12);  // in quantiser steps of 8-bit video
  attachQuantiserOffsets(*frame, {});
  EXPECT_EQ(av_frame_get_side_data(frame.get(), AV_FRAME_DATA_REGIONS_OF_INTEREST), nullptr);
}

}  // namespace
}  // namespace darvo::recording::output
