// Frame detectors: watch the image points of one sensor, one at a time, and
// say at which point a frame ends.
//
// A time rule cuts frames of fixed length for every sensor. The scanning
// sensor families sweep their mirrors back and forth; for them a frame ends
// where the scan turns around, found by a confirmed extremum detector on the
// image coordinates. One model marks frames itself with a flag bit.
//
// Every class is generic over the index the caller attaches to each point
// (the library uses int64_t) and holds no lock: one thread at a time uses a
// detector. update() does constant work and never allocates; a detector
// allocates only when it is constructed.
//
// Timestamps are microseconds; periods are seconds in single precision.
#ifndef VORLAN_SDK_IMPL_FRAME_DETECTOR_HPP
#define VORLAN_SDK_IMPL_FRAME_DETECTOR_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "vorlan_sdk.h"
#include "vorlan_sdk_impl/vorlan_sdk.hpp"

namespace vorlan_sdk {
namespace util {

inline constexpr const char* kFrameDetectorHeaderFile = "include/vorlan_sdk_impl/frame_detector";

// The scan families, by model code.
inline bool is_tq50_model(VorlanSensorModel model) { return model == 3; }
inline bool is_parvo_model(VorlanSensorModel model) {
    switch (model) {
        case 7: case 10: case 12: case 13: case 14: case 16: case 21: return true;
        default: return false;
    }
}
inline bool is_kiru_model(VorlanSensorModel model) { return model == 11 || model == 17; }
// The one Parvo model that marks its frames with the points' frame flag.
inline bool is_frame_flag_model(VorlanSensorModel model) { return model == 16; }

namespace internal {

// Common state of every detector: the last boundary reported, the last
// boundary of each turnaround kind (phase), and the time between the last two
// reported boundaries.
template <class Index>
class FrameDetectorBase {
public:
    // One detected boundary. Phase 1 follows a maximum of the scan, phase 0 a
    // minimum; rules without turnarounds always report phase 0.
    struct Result {
        bool found = false;
        int32_t phase = 0;
        int64_t timestamp = -1;  // of the boundary point
        Index index{};           // the caller's index of the boundary point
    };

    static constexpr int32_t kMaxPhases = 2;

    virtual ~FrameDetectorBase() = default;

    // Forgets every boundary and the period.
    virtual void reset() {
        m_result = Result{};
        m_results.fill(Result{});
        m_period = -1.0f;
    }

    // Offers the next point; true when it is the last point of a frame.
    virtual bool update(const VorlanSensorImagePoint& point, Index index) = 0;

    // The last boundary reported.
    const Result& result() const { return m_result; }
    // The last boundary of `phase`, including those that full-cycle mode kept
    // from ending a frame; empty for a phase this detector does not have.
    Result phase_result(int32_t phase) const {
        return phase >= 0 && phase < m_n_phases ? m_results[static_cast<std::size_t>(phase)] : Result{};
    }
    int32_t phase_count() const { return m_n_phases; }
    // Seconds between the last two reported boundaries; -1 until there were two.
    float period() const { return m_period; }

    // In full-cycle mode only phase-0 turnarounds end a frame: one frame is a
    // whole back-and-forth scan.
    bool full_cycle() const { return m_full_cycle; }
    void set_full_cycle(bool full_cycle) { m_full_cycle = full_cycle; }

protected:
    explicit FrameDetectorBase(int32_t n_phases) : m_n_phases(clamp_phases(n_phases)) {}

    void set_phase_count(int32_t n_phases) { m_n_phases = clamp_phases(n_phases); }

    // Records a boundary of `phase` at (timestamp, index) and says whether it
    // ends a frame. A phase without a slot is dropped rather than trusted.
    bool report(int32_t phase, int64_t timestamp, Index index) {
        if (phase < 0 || phase >= m_n_phases) {
            return false;
        }
        const Result found{true, phase, timestamp, index};
        m_results[static_cast<std::size_t>(phase)] = found;
        if (m_full_cycle && phase != 0) {
            return false;
        }
        accept(found);
        return true;
    }

    // Makes `found` the last reported boundary and updates the period.
    void accept(const Result& found) {
        if (m_result.found) {
            m_period = static_cast<float>(found.timestamp - m_result.timestamp) * 1e-6f;
        }
        m_result = found;
    }

    bool m_full_cycle = false;
    Result m_result;
    std::array<Result, kMaxPhases> m_results{};
    int32_t m_n_phases = 1;
    float m_period = -1.0f;

private:
    static int32_t clamp_phases(int32_t n) { return n < 1 ? 1 : (n > kMaxPhases ? kMaxPhases : n); }
};

}  // namespace internal

// Finds the extrema of a stream of (timestamp, value, index) samples, one
// direction at a time. A candidate extremum is confirmed once `n_after` later
// samples did not exceed it and the latest one retreated from it by at least
// `threshold`; it counts (is valid) only when at least `n_after` samples
// separate it from the previous detection, which keeps noise at a
// turnaround from being taken twice.
template <class Index>
class MaxDetector {
public:
    struct Extremum {
        bool valid = false;
        int direction = 0;  // 1: a maximum, 0: a minimum
        int64_t timestamp = -1;
        float value = 0.0f;
        Index index{};
        float carried = 0.0f;  // a value the caller attached to the sample
    };

    MaxDetector(bool find_max, int32_t n_after, float threshold)
        : m_find_max(find_max ? 1 : 0), m_n_after(n_after), m_threshold(threshold) {}

    // Offers a sample; true when it confirms a valid extremum, which last()
    // then holds. `carried` travels with the sample into the extremum.
    bool update(int64_t timestamp, float value, Index index, float carried = 0.0f) {
        const float sign = m_find_max != 0 ? 1.0f : -1.0f;
        const int64_t confirm = m_n_after;
        const bool exceeds = (value - m_candidate.value) * sign > 0.0f;
        bool is_new;
        if (m_candidate.valid) {
            ++m_n_since;
            is_new = !(m_candidate.timestamp >= 0 && !exceeds);
        } else if (m_candidate.timestamp < 0) {
            ++m_n_since;
            is_new = true;
        } else if (m_n_after_candidate >= confirm) {
            // An invalid candidate that was never confirmed has aged out.
            m_candidate.index = Index{};
            m_n_since = 0;
            is_new = true;
        } else {
            ++m_n_since;
            is_new = exceeds;
        }
        if (is_new) {
            m_candidate = Extremum{m_n_since >= confirm, m_find_max, timestamp, value, index, carried};
            m_n_after_candidate = 0;
        } else {
            ++m_n_after_candidate;
        }

        if (confirm == 0 && m_threshold == 0.0f) {
            return false;  // only tracks the running extremum
        }
        if (m_n_after_candidate >= confirm) {
            if (m_threshold > (m_candidate.value - value) * sign) {
                return false;
            }
            m_last = m_candidate;
            m_n_since = -1;
            m_candidate = Extremum{};
            return m_last.valid;
        }
        return false;
    }

    // Forgets samples, candidate and detection; the direction and the
    // confirmation settings stay.
    void reset() {
        m_n_since = -1;
        m_n_after_candidate = -1;
        m_candidate = Extremum{};
        m_last = Extremum{};
    }

    // Searches for the other kind of extremum from now on.
    void flip() { m_find_max = m_find_max != 0 ? 0 : 1; }
    bool find_max() const { return m_find_max != 0; }

    const Extremum& candidate() const { return m_candidate; }
    const Extremum& last() const { return m_last; }

private:
    int m_find_max;
    int32_t m_n_after;
    float m_threshold;
    int64_t m_n_since = -1;            // samples since the last detection
    int64_t m_n_after_candidate = -1;  // samples since the candidate was taken
    Extremum m_candidate;
    Extremum m_last;
};

// Follows the turnarounds of one value that sweeps back and forth: an
// extremum detector that searches for the other kind of extremum after each
// confirmed one, starting with a maximum, and the last confirmed minimum
// (slot 0) and maximum (slot 1).
template <class Index>
class TurnaroundTracker {
public:
    using Extremum = typename MaxDetector<Index>::Extremum;

    explicit TurnaroundTracker(int32_t n_after) : m_detector(true, n_after, 0.0f) {}

    // True when the sample confirmed a turnaround, which last() then holds.
    // `carried` travels with the sample into the turnaround.
    bool update(int64_t timestamp, float value, Index index, float carried = 0.0f) {
        if (!m_detector.update(timestamp, value, index, carried)) {
            return false;
        }
        m_extremes[phase_of(m_detector.last())] = m_detector.last();
        m_detector.flip();
        return true;
    }

    // Forgets samples and turnarounds; the direction searched for stays.
    void reset() {
        m_detector.reset();
        m_extremes.fill(Extremum{});
    }

    const Extremum& last() const { return m_detector.last(); }
    // The last confirmed minimum (0) or maximum (1).
    const Extremum& extreme(int direction) const { return m_extremes[direction != 0 ? 1 : 0]; }
    bool has_both() const { return m_extremes[0].valid && m_extremes[1].valid; }
    // Maps the range between the last minimum and maximum onto [-1, 1].
    float normalise(float value) const {
        const float low = m_extremes[0].value;
        const float high = m_extremes[1].value;
        return (value - (high + low) / 2.0f) / ((high - low) / 2.0f);
    }

    // The frame phase a turnaround ends: 1 after a maximum, 0 after a minimum.
    static int32_t phase_of(const Extremum& turnaround) { return turnaround.direction != 0 ? 1 : 0; }

private:
    MaxDetector<Index> m_detector;
    std::array<Extremum, 2> m_extremes{};
};

// Frames of a fixed length of point time. The first point opens a frame and
// the first point at least `length` seconds later closes it; the point after
// a boundary opens the next frame. Time running backwards by 10 ms or more
// closes the frame at once.
template <class Index>
class TimedFrameDetector : public internal::FrameDetectorBase<Index> {
    using Base = internal::FrameDetectorBase<Index>;

public:
    explicit TimedFrameDetector(float length = 0.0f) : Base(1), m_length(length) {}

    void reset() override {
        Base::reset();
        m_start = 0;
    }

    bool update(const VorlanSensorImagePoint& point, Index index) override {
        if (m_start == 0) {
            m_start = point.timestamp;
            if (m_length > 0.0f) {
                return false;
            }
        } else {
            const float elapsed = static_cast<float>(point.timestamp - m_start) * 1e-6f;
            if (m_length > elapsed && elapsed > -0.01f) {
                return false;
            }
        }
        m_start = 0;
        return this->report(0, point.timestamp, index);
    }

    float length() const { return m_length; }
    void set_length(float length) { m_length = length; }

private:
    float m_length;
    int64_t m_start = 0;  // timestamp of the point that opened the frame; 0: none open
};

// Frames marked by the sensor: a frame ends at every change of the points'
// VORLAN_POINT_FRAME_FLAG bit.
template <class Index>
class ParityBitDetector : public internal::FrameDetectorBase<Index> {
    using Base = internal::FrameDetectorBase<Index>;

public:
    ParityBitDetector() : Base(1) {}

    // Waits for a first point again; the boundaries and the period stay.
    void reset() override { m_started = false; }

    bool update(const VorlanSensorImagePoint& point, Index index) override {
        const bool parity = (point.flags & VORLAN_POINT_FRAME_FLAG) != 0;
        if (!m_started) {
            m_started = true;
            m_parity = parity;
            return false;
        }
        if (parity == m_parity) {
            return false;
        }
        m_parity = parity;
        return this->report(0, point.timestamp, index);
    }

private:
    bool m_started = false;
    bool m_parity = false;
};

// Kiru family: the mirror sweeps image x back and forth; every confirmed
// turnaround of image x ends a frame (maxima phase 1, minima phase 0).
template <class Index>
class KiruFrameDetector : public internal::FrameDetectorBase<Index> {
    using Base = internal::FrameDetectorBase<Index>;
    using Tracker = TurnaroundTracker<Index>;

public:
    using Extremum = typename Tracker::Extremum;

    KiruFrameDetector() : Base(2) {}

    void reset() override {
        Base::reset();
        m_x.reset();
    }

    bool update(const VorlanSensorImagePoint& point, Index index) override {
        if (!m_x.update(point.timestamp, point.image_x, index)) {
            return false;
        }
        const Extremum& found = m_x.last();
        return this->report(Tracker::phase_of(found), found.timestamp, found.index);
    }

    // The last confirmed minimum (0) and maximum (1) of image x.
    const Extremum& extreme(int direction) const { return m_x.extreme(direction); }

private:
    Tracker m_x{5};
};

// TQ50 family: a fast vertical sweep inside a slow horizontal one. The
// turnarounds of image z sample image x once per vertical sweep, and a
// turnaround of that sampled x ends a frame.
template <class Index>
class TQ50FrameDetector : public internal::FrameDetectorBase<Index> {
    using Base = internal::FrameDetectorBase<Index>;
    using Tracker = TurnaroundTracker<Index>;

public:
    using Extremum = typename Tracker::Extremum;

    TQ50FrameDetector() : Base(2) {}

    void reset() override {
        Base::reset();
        m_z.reset();
        m_x.reset();
    }

    bool update(const VorlanSensorImagePoint& point, Index index) override {
        if (!m_z.update(point.timestamp, point.image_z, index, point.image_x)) {
            return false;
        }
        const Extremum& z = m_z.last();
        if (!m_x.update(z.timestamp, z.carried, z.index)) {
            return false;
        }
        const Extremum& x = m_x.last();
        return this->report(Tracker::phase_of(x), x.timestamp, x.index);
    }

    const Extremum& z_extreme(int direction) const { return m_z.extreme(direction); }
    const Extremum& x_extreme(int direction) const { return m_x.extreme(direction); }

private:
    Tracker m_z{5};  // the fast vertical sweep, carrying image x
    Tracker m_x{4};  // image x at the vertical turnarounds
};

// Parvo family: the scan sweeps image x back and forth while the pattern
// wanders over the field, each sweep passing the centre at a different
// distance. A frame ends at the sweep whose closest approach to the centre is
// a local maximum over the sweeps, confirmed by two further sweeps.
template <class Index>
class ParvoFrameDetector : public internal::FrameDetectorBase<Index> {
    using Base = internal::FrameDetectorBase<Index>;

public:
    using Extremum = typename MaxDetector<Index>::Extremum;

    ParvoFrameDetector() : Base(2) {}

    void reset() override {
        Base::reset();
        m_x.reset();
        m_z.reset();
        m_radius.reset();
        m_sweeps.reset();
    }

    bool update(const VorlanSensorImagePoint& point, Index index) override {
        const bool sweep_ended = m_x.update(point.timestamp, point.image_x, index);
        m_z.update(point.timestamp, point.image_z, index);
        if (!m_x.has_both() || !m_z.has_both()) {
            return false;
        }
        const float x = m_x.normalise(point.image_x);
        const float z = m_z.normalise(point.image_z);
        m_radius.update(point.timestamp, x * x + z * z, index);
        if (!sweep_ended) {
            return false;
        }
        // The closest approach of the sweep that just ended.
        const float closest = m_radius.candidate().value;
        m_radius.reset();
        const Extremum& sweep = m_x.extreme(m_phase);
        if (!m_sweeps.update(sweep.timestamp, closest, sweep.index)) {
            return false;
        }
        const int32_t phase = m_phase;
        m_phase = (m_phase + 1) % 2;
        return this->report(phase, m_sweeps.last().timestamp, m_sweeps.last().index);
    }

    const TurnaroundTracker<Index>& x_tracker() const { return m_x; }
    const TurnaroundTracker<Index>& z_tracker() const { return m_z; }

private:
    TurnaroundTracker<Index> m_x{5};
    TurnaroundTracker<Index> m_z{5};
    MaxDetector<Index> m_radius{false, 0, 0.0f};  // running minimum of the normalised radius
    MaxDetector<Index> m_sweeps{true, 2, 0.0f};   // maxima of the per-sweep closest approach
    int32_t m_phase = 0;
};

// The detector a frame uses: the time rule for VORLAN_SDK_FRAME_TIMED, the
// model's scan rule for VORLAN_SDK_FRAME_SWEEP and VORLAN_SDK_FRAME_FULL_SCAN,
// nothing otherwise. A mode without a rule to consult (streaming, by model,
// or a scan mode on a model without a scan rule) reports no boundary.
template <class Index = int64_t>
class FrameDetector : public internal::FrameDetectorBase<Index> {
    using Base = internal::FrameDetectorBase<Index>;

public:
    // Chooses the scan rule by the information's model code; starts in
    // streaming mode with the default frame options.
    explicit FrameDetector(const VorlanSensorInformation& information)
        : Base(1), m_options(vorlan_sdk_create_frame_options()) {
        const VorlanSensorModel model = information.model;
        if (is_kiru_model(model)) {
            m_model_detector = std::make_unique<KiruFrameDetector<Index>>();
        } else if (is_tq50_model(model)) {
            m_model_detector = std::make_unique<TQ50FrameDetector<Index>>();
        } else if (is_parvo_model(model)) {
            if (is_frame_flag_model(model)) {
                m_model_detector = std::make_unique<ParityBitDetector<Index>>();
            } else {
                m_model_detector = std::make_unique<ParvoFrameDetector<Index>>();
            }
        }
    }

    // Stores `options` and switches to the rule of its mode, resetting the
    // newly active rule. A timed mode with a length of 0 is refused with
    // VORLAN_ERROR_INVALID_ARGUMENTS ("Frame length not set!"); the options are
    // stored all the same and the time rule keeps its previous length. A scan
    // mode on a model without a scan rule changes nothing but the options.
    SensorError set_options(const VorlanSDKFrameOptions& options) {
        m_options = options;
        internal::FrameDetectorBase<Index>* active = nullptr;
        switch (m_options.mode) {
            case VORLAN_SDK_FRAME_TIMED:
                if (m_options.length == 0.0f) {
                    return SensorError(VORLAN_ERROR_INVALID_ARGUMENTS,
                                       vorlan_sdk::internal::create_assert_message(
                                           kFrameDetectorHeaderFile, __LINE__, "m_options.length",
                                           "Frame length not set!"));
                }
                m_timed_detector.set_length(m_options.length);
                active = &m_timed_detector;
                break;
            case VORLAN_SDK_FRAME_SWEEP:
            case VORLAN_SDK_FRAME_FULL_SCAN:
                if (!m_model_detector) {
                    return VORLAN_SUCCESS;
                }
                m_model_detector->set_full_cycle(m_options.mode == VORLAN_SDK_FRAME_FULL_SCAN);
                active = m_model_detector.get();
                break;
            default:
                return VORLAN_SUCCESS;
        }
        this->set_phase_count(active->phase_count());
        reset();
        return VORLAN_SUCCESS;
    }

    const VorlanSDKFrameOptions& options() const { return m_options; }

    // Forgets the boundaries and restarts the active rule.
    void reset() override {
        Base::reset();
        if (internal::FrameDetectorBase<Index>* detector = active_detector()) {
            detector->reset();
        }
    }

    bool update(const VorlanSensorImagePoint& point, Index index) override {
        internal::FrameDetectorBase<Index>* detector = active_detector();
        if (detector == nullptr || !detector->update(point, index)) {
            return false;
        }
        const typename Base::Result& found = detector->result();
        if (found.phase >= 0 && found.phase < this->m_n_phases) {
            this->m_results[static_cast<std::size_t>(found.phase)] = found;
        }
        this->accept(found);
        return true;
    }

    // The scan rule chosen for the sensor's model, or null.
    const internal::FrameDetectorBase<Index>* model_detector() const { return m_model_detector.get(); }
    const TimedFrameDetector<Index>& timed_detector() const { return m_timed_detector; }

private:
    // The rule the stored mode consults, or null.
    internal::FrameDetectorBase<Index>* active_detector() {
        switch (m_options.mode) {
            case VORLAN_SDK_FRAME_TIMED: return &m_timed_detector;
            case VORLAN_SDK_FRAME_SWEEP:
            case VORLAN_SDK_FRAME_FULL_SCAN: return m_model_detector.get();
            default: return nullptr;
        }
    }

    VorlanSDKFrameOptions m_options;
    std::unique_ptr<internal::FrameDetectorBase<Index>> m_model_detector;
    TimedFrameDetector<Index> m_timed_detector{0.0f};
};

}  // namespace util
}  // namespace vorlan_sdk

#endif  // VORLAN_SDK_IMPL_FRAME_DETECTOR_HPP
