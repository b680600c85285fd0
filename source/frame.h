// Frame accumulation: the decoded points of each sensor are collected and cut
// into frames by the frame options and the sensor family's frame detector,
// and every complete frame goes to the client twice, as raw points
// (raw_frame_cb) and then as image points (image_frame_cb).
#ifndef VORLAN_SOURCE_FRAME_H
#define VORLAN_SOURCE_FRAME_H

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "point_buffer.h"
#include "vorlan_sdk.h"
#include "vorlan_sdk_impl/vorlan_sdk.hpp"
#include "vorlan_sdk_impl/vorlan_sdk_util.hpp"

namespace vorlan_sdk {

class Sensor;

// The points of one sensor waiting to be published. Every operation takes
// the frame's lock. Callbacks are invoked with that lock held (then the
// callback slot's own lock), on the thread that delivered the packet: a
// callback must not call frame operations of the same sensor.
class Frame {
public:
    // Rows of points two consecutive frames of a frame-flag sensor share.
    static constexpr int64_t kOverlapRows = 72;
    // Rows whose frame flag differs from the flag at the last boundary that
    // make a frame-flag sensor's next row a boundary.
    static constexpr int32_t kFlagChangesPerFrame = 37;
    // Raw points a frame gathers at most: past that, with no boundary in
    // sight, what it holds is published as one frame. Points that never
    // make a boundary (a mode with no rule for the model, a sensor that
    // never marks frames) would otherwise be kept for ever.
    static constexpr std::size_t kMaxRawPoints = std::size_t(1) << 18;

    // Takes the sensor's information (model, return and segment counts) and
    // the SDK's current frame options, converted by convert_mode.
    explicit Frame(std::shared_ptr<Sensor> sensor);
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    // Applies `options` to the detector as given. A refusal (a timed mode
    // without a length) is reported on standard error and otherwise ignored.
    void set_options(const VorlanSDKFrameOptions& options);

    // The options a new frame uses: the scan modes become the frame-flag rule
    // (VORLAN_SDK_FRAME_SWEEP with the given length) on the frame-flag model
    // and frames of 0.1 s on every other model. Other modes are unchanged.
    VorlanSDKFrameOptions convert_mode(const VorlanSDKFrameOptions& options) const;

    // Appends `n_raw` raw points and `n_raw` * return count image points. When
    // memory runs out the frame drops everything it holds, restarts its
    // detector and returns VORLAN_ERROR_OUT_OF_MEMORY.
    SensorError add_points(std::size_t n_raw, const VorlanSensorRawPointWithTime* raw_points,
                           const VorlanSensorImagePoint* image_points);

    // Appends points written in place, sparing the copy add_points makes,
    // and publishes what they complete as check_and_publish does. `fill(room)`
    // gets room for `max_raw` raw points (an empty room when memory runs out)
    // and returns how many it wrote there, in order from the start of the
    // room; 0 leaves the frame as it was and publishes nothing. `fill` runs
    // without the frame's lock, so it may take its sensor's lock; fillers and
    // add_points of one frame take turns. Points the frame drops meanwhile (a
    // clear) are dropped before the new ones, which are kept.
    template <class Fill>
    void add_points_in_place(std::size_t max_raw, Fill&& fill) {
        util::LockGuard fill_lock(m_fill_mutex);
        if (!fill_lock.is_locked()) {
            fill(PointRoom{});
            return;
        }
        const PointRoom room = open_room(max_raw);
        close_room(room, room.n_raw == 0 ? 0 : std::min(fill(room), room.n_raw));
    }

    // Image points per raw point; fixed when the frame is made.
    uint32_t return_count() const { return static_cast<uint32_t>(std::max(m_return_count, 0)); }

    // Publishes every frame the buffered points complete, by the SDK's
    // current frame mode. Published points are handed out in place and then
    // removed; the rest stay for the next call.
    void check_and_publish();

    // Drops the buffered points and restarts the detector; the options stay.
    void clear();

    // The frame flag of the first buffered raw point; 0 when none is buffered.
    uint8_t get_frame_flag();

    // Points buffered at the moment.
    std::size_t n_raw_points();
    std::size_t n_image_points();
    // The options the detector holds.
    VorlanSDKFrameOptions get_options();

private:
    Frame(std::shared_ptr<Sensor> sensor, const VorlanSensorInformation& information);

    void clear_impl();
    // Room for add_points_in_place; the caller holds m_fill_mutex.
    PointRoom open_room(std::size_t max_raw);
    // Takes in the first `n_raw` raw points of `room` and their image points,
    // then publishes.
    void close_room(const PointRoom& room, std::size_t n_raw);
    void take_in_room(const PointRoom& room, std::size_t n_raw);
    // check_and_publish with the lock held.
    void check_and_publish_impl();
    // Publishes everything held as one frame once it reaches kMaxRawPoints,
    // giving the memory back. Lock held.
    void cut_overlong_frame();
    // Queues the report of the first cut, if one is owed. Lock not held:
    // the error queue is locked before frames when errors are delivered.
    void report_cut();
    void apply_options(const VorlanSDKFrameOptions& options);
    void publish_all();
    void publish_by_detector();
    void publish_by_frame_flag();
    // Hands the first `n_raw` raw and `n_image` image points to the callbacks
    // (coverage check first) and removes them from the buffers.
    void publish_front(std::size_t n_raw, std::size_t n_image);
    void emit_raw(std::size_t n_raw);
    void emit_image(std::size_t n_image);
    // The sensor's scan coverage check, for calibrated sensors only.
    void check_coverage(std::size_t n_image);

    util::TimedMutex m_mutex;
    // Held by whoever appends points: room handed out stays where it is
    // until it is taken in, as nobody else grows the buffers meanwhile.
    // Taken before m_mutex, and before the sensor's lock by a filler.
    util::TimedMutex m_fill_mutex;
    const std::shared_ptr<Sensor> m_sensor;  // kept alive as long as the frame
    const VorlanSensorHandle m_handle;
    VorlanSensorModel m_model = 0;
    int32_t m_segment_count = 0;
    int32_t m_return_count = 0;
    int32_t m_row_size = 0;  // image points per row: return count * segment count

    // Guarded by m_mutex. Always m_return_count image points per raw point,
    // in the same order.
    PointBuffer<VorlanSensorRawPointWithTime> m_raw_points;
    PointBuffer<VorlanSensorImagePoint> m_image_points;
    // Sizes of the buffers when the open room was handed out; guarded by
    // m_fill_mutex.
    std::size_t m_room_raw_at = 0;
    std::size_t m_room_image_at = 0;
    // Leading image points already examined for boundaries.
    int64_t m_n_scanned = 0;
    // Index handed to the detector with each point it is offered; runs on
    // across frames.
    int64_t m_detector_index = -1;
    util::FrameDetector<int64_t> m_detector;

    // Frame-flag rule: the flag at the last boundary, rows examined so far,
    // rows counted with a different flag, and the row after the last boundary.
    uint8_t m_last_frame_flag = 0;
    int64_t m_row_counter = 0;
    int32_t m_flag_changes = 0;
    int64_t m_boundary_row = 0;

    // The first overlong cut is reported once: m_cut_made is guarded by
    // m_mutex, m_cut_to_report is set with it and taken by report_cut.
    bool m_cut_made = false;
    std::atomic<bool> m_cut_to_report{false};
};

// The frames of every sensor, by handle.
class FrameManager {
public:
    static FrameManager& instance();

    // The sensor's frame, created on first use; empty when the registry does
    // not know the handle or memory runs out.
    std::shared_ptr<Frame> get_or_create_frame(VorlanSensorHandle handle);
    // The sensor's frame if it exists; never creates one.
    std::shared_ptr<Frame> get_frame(VorlanSensorHandle handle);

    // Forgets the frame of `handle`, if any, with the points it buffered
    // (its sensor was forgotten); a frame in use elsewhere lives until released.
    void remove_frame(VorlanSensorHandle handle);

    // Applies `options` to every frame as given (no conversion).
    void set_options(const VorlanSDKFrameOptions& options);
    // Forgets every frame; frames in use elsewhere live until released, and
    // later packets create fresh ones with the options current then.
    void clear();
    // Empties every frame's buffers, keeping the frames and their options.
    void clear_cache();

private:
    FrameManager() = default;

    // Every frame, in handle order. Taken under the lock, which is released
    // before any frame is locked: a callback running under a frame's lock
    // may clear the frames, so the manager's lock never waits on a frame's.
    std::vector<std::shared_ptr<Frame>> snapshot();

    util::TimedMutex m_mutex;  // guards m_frames
    std::map<VorlanSensorHandle, std::shared_ptr<Frame>> m_frames;
};

}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_FRAME_H
