# The fuzz targets, as pairs of name and source. The name is the folder of
# its seed corpus (corpus/<name>/) and of its regression inputs
# (regressions/<name>/). Included by CMakeLists.txt here (the libFuzzer
# programs) and by tests/CMakeLists.txt (the replays run by ctest).
set(ZENTROVA_FUZZ_TARGETS
  candidate_list   CandidateListFuzz.cpp
  candidate_range  CandidateRangeFuzz.cpp
  factor_file      FactorFileFuzz.cpp
  rebuild          RebuildFuzz.cpp
  report           ReportFuzz.cpp
  to_be_factored   ToBeFactoredFuzz.cpp
  packed_k         PackedKFuzz.cpp
  text_file        TextFileFuzz.cpp
)
