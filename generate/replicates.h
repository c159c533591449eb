// The replicates of one scenario differ only in their seed, and the seed
// moves only the noise: the grid, the signal before the noise, the
// write-backs, the placement and the ground truth are the same in every
// replicate (and so is the detector's filtered truth; its stages draw from
// the seed and are made per replicate). One replicate is run in full; every
// other one copies its noise-free signal, adds its own noise and detector
// stages, and sums up the noise it drew: the same bits as its own full run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "generate/run.h"

namespace elutrix::generate {

// What one replicate adds to what its scenario's replicates share.
struct ReplicateNoise {
    bool ok = true;
    std::string message;  // why it stopped
    double seed = 0.0;    // the seed's value
    NoiseSummary noise;
    bool tallied = true;  // noise holds its figures (see make_block)
    DetectorRecord detector_record;
};

class ScenarioReplicates {
public:
    // Runs the scenario's replicate with the seed text (one of
    // replicate_seeds) in full on trace, as run_replicate does.
    ScenarioReplicates(const Scenario& scenario, const std::string& seed, Trace& trace, RandomGenerator& generator);

    // The full run. When it stopped the replicates share nothing (its noise
    // may be what stopped it): each is then run in full.
    const RunOutput& first() const { return first_; }
    bool shared() const { return first_.ok; }
    std::int32_t point_count() const { return first_.ok ? first_.point_count : 0; }
    // The grid in seconds, points 1 .. point_count at 0 .. point_count - 1.
    const std::vector<double>& times() const { return times_; }

    // Makes the replicate with the seed text into response[0 .. point_count
    // - 1], the values its trace's export table would hold. A replicate
    // that stops on its own (its noise or detector stages make a value that
    // is not a finite number, or too large to draw) is run in full to learn
    // its message. Needs shared().
    ReplicateNoise make(const std::string& seed, double* response, RandomGenerator& generator) const;

    // The same for up to block_replicates replicates at once: seeds[j] into
    // responses[j], its figures into made[j]. Their noise figures are summed
    // up side by side, which overlaps the divisions of the running means.
    // Without figures the noise figures are left to noise_of (tallied is
    // then false), for callers that need them for few replicates if any.
    static constexpr int block_replicates = 4;
    void make_block(const std::string* seeds, double* const* responses, ReplicateNoise* made, int count,
                    RandomGenerator& generator, bool figures = true) const;

    // The noise figures of the replicate with the seed text, drawn again:
    // those make_block with figures gives it.
    NoiseSummary noise_of(const std::string& seed, RandomGenerator& generator) const;

    // The replicate's output as run_replicate gives it (without the trace).
    RunOutput output(const std::string& seed, const ReplicateNoise& made) const;

    // Leaves trace as the replicate's full run leaves it: the grid, the
    // responses, the export table and the point count.
    void fill(const double* response, Trace& trace) const;

private:
    // The noise of one replicate into response and its realised noise
    // (the values drawn, or their running sum) into drawn; false when a
    // value stops the run.
    bool add_noise(const std::string& seed, double* response, double* drawn, RandomGenerator& generator) const;
    // The detector's stages; false when a value stops the run.
    bool detect(ReplicateNoise& made, double* response) const;
    ReplicateNoise run_in_full(const std::string& seed, double* response, RandomGenerator& generator) const;

    Scenario scenario_;
    RunOutput first_;
    std::vector<double> times_;
    std::vector<double> noise_free_;
    bool drift_ = false;
};

}  // namespace elutrix::generate
