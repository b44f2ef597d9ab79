// What several benchmarks measure alike: wall time and medians, the heap the
// library holds while it works, and commands run as processes of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Seconds on the steady clock.
double BenchNow();
double BenchMedian(std::vector<double> values);

// Heap in use: the main arena's chunks and the blocks mapped on their own
// (the library's work buffer is one of those).
size_t BenchHeapInUse();
// The peak above what was in use at BenchHeapStart, sampled by
// BenchHeapSample: a progress callback of the library, so the heap is looked
// at while the work runs. It never asks the work to stop.
void BenchHeapStart();
int BenchHeapSample(uint32_t done, uint32_t total);
size_t BenchHeapPeak();

// Runs `argv` (its first word looked up on PATH) with standard output sent
// to `stdoutPath` and standard error to `stderrPath` when they are given;
// true when it exits with `okStatus`.
bool BenchRun(const std::vector<std::string>& argv, int okStatus = 0, const char* stdoutPath = nullptr,
              const char* stderrPath = nullptr);
// A program built beside the benchmarks (flashwright, fwmodule).
std::string BenchBuiltProgram(const char* name);
