// An alignment as scripts and people read it: the members' exact bytes, and
// the summary of a segment whose start is not known.

#include "matching/alignment_report.h"

#include <gtest/gtest.h>

#include "evidence/json_doc.h"

namespace {

TEST(AlignmentReport, SecondsPrintAsMillisecondDecimals) {
  Alignment a;
  Segment determined;
  determined.candidate_end_s = 10.000000001;
  determined.recording_start_s = 20.0024999;
  determined.recording_end_s = 30.0025001;
  determined.tempo = 1.2345;
  determined.frames = determined.matched_frames = 20;
  determined.avg_distance = 6.5;
  determined.view = {Transform::Mirrored, Box::Letterbox};
  Segment undetermined;
  undetermined.candidate_start_s = 10.0;
  undetermined.candidate_end_s = 160.16666;
  undetermined.undetermined = UndeterminedStart{4500.0, 4503.8330000000005, 4500.0, 4654.0};
  a.segments = {determined, undetermined};
  a.offset_seconds = 20.0024999;
  a.edited = true;
  nlohmann::json document = nlohmann::json::object();
  add_alignment_members(document, a);
  EXPECT_EQ(json_line(document["segments"]),
            R"([{"avg_distance":6.5,"boxed":"letterbox","candidate_end_s":10.0,)"
            R"("candidate_start_s":0.0,"frames":20,"matched_frames":20,"position":"determined",)"
            R"("recording_end_s":30.003,"recording_start_s":20.002,"tempo":1.235,)"
            R"("transform":"mirrored"},{"boxed":"none","candidate_end_s":160.167,)"
            R"("candidate_start_s":10.0,"frames":0,"matched_frames":0,"position":"undetermined",)"
            R"("recording_repeats_from_s":4500.0,"recording_repeats_to_s":4654.0,)"
            R"("recording_start_max_s":4503.833,"recording_start_min_s":4500.0,"tempo":1.0,)"
            R"("transform":"none"}])");
  EXPECT_EQ(document["offset_seconds"].dump(), "20.002");
}

TEST(AlignmentReport, AnUndeterminedStartIsGivenAsItsRange) {
  Alignment a;
  Segment s;
  s.candidate_end_s = 150.0;
  s.undetermined = UndeterminedStart{4500.0, 4503.833, 4500.0, 4654.0};
  a.segments = {s};
  EXPECT_EQ(describe_alignment(a, 31),
            "one segment, position undetermined: it starts between 4500.0 s and 4503.8 s of the "
            "recording, whose matched hashes repeat from 4500.0 s to 4654.0 s (a static, looping "
            "or slowly changing scene)");
}

}  // namespace
