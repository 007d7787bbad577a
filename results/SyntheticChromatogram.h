#pragma once
// Synthetic chromatograms for demos, tests and benchmarks: Gaussian peaks on a noisy baseline,
// a peak table with component names, and a passport with "operator", "place" and "numinseria".
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "results/CVelmarFile4.h"

// One peak placed by the caller instead of at random.
struct SyntheticPeak {
    std::u16string name;
    double time = 0;           // retention time, minutes
    double height = 1000;      // above the baseline, sample units
    double width = 2;          // standard deviation, seconds
    double concentration = 0;  // written to the peak table as it is
};

struct SyntheticOptions {
    int channels = 2;            // numbered 0, 1, ... (at most 256 fit the file)
    std::size_t samples = 6000;  // per channel
    int peaks = 6;               // per channel, spread evenly over the run
    std::uint32_t seed = 1;      // same seed, same file
    double sampleRate = 10.0;    // samples per second; paramA holds it, paramB the scale
    std::u16string operatorName = u"Иванова А.П.";
    std::u16string place = u"Лаборатория 1";
    std::u16string numinseria = u"1";
    std::u16string method = u"Природный газ";
    std::u16string sample = u"Проба 1";
    std::int64_t date = 1700000000;  // seconds since 1970
    // Per channel: when given, these peaks replace the random ones (and `peaks` is not used).
    std::vector<std::vector<SyntheticPeak>> peakList;
};

// A whole file object; deterministic for given options. Peak times are in seconds, front and back
// are sample indexes, areas and heights in sample units.
CVelmarFile4 makeSyntheticChromatogram(const SyntheticOptions& options);
