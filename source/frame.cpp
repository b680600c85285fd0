#include "frame.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "core.h"
#include "sensor.h"

#define VORLAN_SOURCE_FILE "source/frame"

namespace vorlan_sdk {

namespace {

// Frames of this length stand in for the scan rules when a frame is created
// for a model whose turnarounds are not followed.
constexpr float kConvertedFrameLength = 0.1f;

// Keeps the last `limit` records, moved to the front; a limit at or beyond
// the size keeps everything.
template <class T>
void keep_last(PointBuffer<T>& points, int64_t limit) {
    points.keep_last(static_cast<std::size_t>(std::max<int64_t>(limit, 0)));
}

}  // namespace

// ---- Frame ----------------------------------------------------------------------

Frame::Frame(std::shared_ptr<Sensor> sensor) : Frame(sensor, sensor->get_information()) {}

Frame::Frame(std::shared_ptr<Sensor> sensor, const VorlanSensorInformation& information)
    : m_sensor(std::move(sensor)),
      m_handle(m_sensor->handle()),
      m_model(information.model),
      m_segment_count(information.segment_count),
      m_return_count(information.return_count),
      m_row_size(static_cast<int32_t>(information.return_count) * information.segment_count),
      m_detector(information) {
    VorlanSDKFrameOptions options = SdkManager::instance().get_frame_options();
    if (options.mode == VORLAN_SDK_FRAME_SWEEP || options.mode == VORLAN_SDK_FRAME_FULL_SCAN) {
        options = convert_mode(options);
    }
    apply_options(options);
    m_detector.reset();
}

VorlanSDKFrameOptions Frame::convert_mode(const VorlanSDKFrameOptions& options) const {
    VorlanSDKFrameOptions converted = options;
    if (options.mode == VORLAN_SDK_FRAME_SWEEP || options.mode == VORLAN_SDK_FRAME_FULL_SCAN) {
        if (util::is_frame_flag_model(m_model)) {
            converted.mode = VORLAN_SDK_FRAME_SWEEP;
        } else {
            converted.mode = VORLAN_SDK_FRAME_TIMED;
            converted.length = kConvertedFrameLength;
        }
    }
    return converted;
}

void Frame::apply_options(const VorlanSDKFrameOptions& options) {
    // A refusal is not the caller's to handle: destroyed unread, the error
    // prints its "Error not used: " report.
    SensorError error = m_detector.set_options(options);
    static_cast<void>(error);
}

void Frame::set_options(const VorlanSDKFrameOptions& options) {
    util::LockGuard lock(m_mutex);
    if (lock.is_locked()) {
        apply_options(options);
    }
}

VorlanSDKFrameOptions Frame::get_options() {
    util::LockGuard lock(m_mutex);
    return m_detector.options();
}

SensorError Frame::add_points(std::size_t n_raw, const VorlanSensorRawPointWithTime* raw_points,
                              const VorlanSensorImagePoint* image_points) {
    util::LockGuard fill_lock(m_fill_mutex);
    util::LockGuard lock(m_mutex);
    if (!fill_lock.is_locked() || !lock.is_locked()) {
        return SensorError(VORLAN_ERROR_GENERIC, "Deadlock!");
    }
    if (n_raw == 0) {
        return VORLAN_SUCCESS;
    }
    const std::size_t per_point = return_count();
    try {
        // A count no buffer could hold fails like an allocation would, before
        // anything is read from the caller's arrays.
        if (n_raw > m_raw_points.max_size() - m_raw_points.size() ||
            (per_point != 0 && n_raw > (m_image_points.max_size() - m_image_points.size()) / per_point)) {
            throw std::bad_alloc();
        }
        m_raw_points.append(raw_points, n_raw);
        m_image_points.append(image_points, n_raw * per_point);
        return VORLAN_SUCCESS;
    } catch (const std::bad_alloc&) {
    }
    // Out of memory: the packet's points are lost; the frame starts over with
    // the next packet rather than keep half a batch.
    m_raw_points.release();
    m_image_points.release();
    clear_impl();
    return VORLAN_ERROR_OUT_OF_MEMORY;
}

PointRoom Frame::open_room(std::size_t max_raw) {
    util::LockGuard lock(m_mutex);
    const std::size_t per_point = return_count();
    if (!lock.is_locked() || max_raw == 0 || per_point == 0) {
        return PointRoom{};
    }
    PointRoom room;
    try {
        if (max_raw > (m_image_points.max_size() - m_image_points.size()) / per_point) {
            return PointRoom{};
        }
        room.raw = m_raw_points.reserve_tail(max_raw);
        room.image = m_image_points.reserve_tail(max_raw * per_point);
    } catch (const std::bad_alloc&) {
        // The caller falls back to add_points, which reports the shortage.
        return PointRoom{};
    }
    room.n_raw = max_raw;
    room.return_count = static_cast<uint32_t>(per_point);
    m_room_raw_at = m_raw_points.size();
    m_room_image_at = m_image_points.size();
    return room;
}

void Frame::close_room(const PointRoom& room, std::size_t n_raw) {
    if (n_raw == 0) {
        return;
    }
    take_in_room(room, n_raw);
    report_cut();
}

void Frame::take_in_room(const PointRoom& room, std::size_t n_raw) {
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked()) {
        return;
    }
    const std::size_t n_image = n_raw * room.return_count;
    // The buffers only shrink while room is out (a clear, or the trimming of
    // a publication): the new points move down to the new end.
    if (m_raw_points.size() != m_room_raw_at) {
        std::memmove(m_raw_points.data() + m_raw_points.size(), room.raw, n_raw * sizeof(*room.raw));
    }
    if (m_image_points.size() != m_room_image_at) {
        std::memmove(m_image_points.data() + m_image_points.size(), room.image, n_image * sizeof(*room.image));
    }
    m_raw_points.grow(n_raw);
    m_image_points.grow(n_image);
    check_and_publish_impl();
}

void Frame::check_and_publish() {
    {
        util::LockGuard lock(m_mutex);
        if (!lock.is_locked()) {
            return;
        }
        check_and_publish_impl();
    }
    report_cut();
}

void Frame::check_and_publish_impl() {
    if (m_raw_points.empty()) {
        return;
    }
    if (SdkManager::instance().get_frame_mode() == VORLAN_SDK_FRAME_STREAMING) {
        publish_all();
    } else if (util::is_frame_flag_model(m_model) && m_detector.options().mode == VORLAN_SDK_FRAME_SWEEP) {
        publish_by_frame_flag();
    } else {
        publish_by_detector();
    }
    cut_overlong_frame();
}

void Frame::cut_overlong_frame() {
    if (m_raw_points.size() < kMaxRawPoints) {
        return;
    }
    check_coverage(m_image_points.size());
    emit_raw(m_raw_points.size());
    emit_image(m_image_points.size());
    // The next frame starts afresh after these points; a sensor whose points
    // never end a frame keeps no buffer of this size between cuts.
    m_raw_points.release();
    m_image_points.release();
    clear_impl();
    if (!m_cut_made) {
        m_cut_made = true;
        m_cut_to_report.store(true, std::memory_order_relaxed);
    }
}

void Frame::report_cut() {
    if (!m_cut_to_report.load(std::memory_order_relaxed) || !m_cut_to_report.exchange(false)) {
        return;
    }
    CallbackManager::instance().queue_error(
        m_handle, VORLAN_ERROR_COMMUNICATION,
        "Frame cut at " + std::to_string(kMaxRawPoints) + " points: no frame boundary came (the sensor's points "
        "end no frame in this mode); such frames are cut at that size from now on");
}

void Frame::publish_all() {
    emit_raw(m_raw_points.size());
    m_raw_points.clear();
    check_coverage(m_image_points.size());
    emit_image(m_image_points.size());
    m_image_points.clear();
    // Nothing is left to scan; a later switch to another mode starts afresh.
    m_n_scanned = 0;
}

void Frame::publish_by_detector() {
    const int64_t step = m_return_count;
    if (step <= 0) {
        return;
    }
    // o indexes the first return of a raw point: only first returns of
    // segment 0 are offered to the detector.
    int64_t o = m_n_scanned;
    for (;;) {
        // The points between those of segment 0 are only stepped over.
        const VorlanSensorImagePoint* points = m_image_points.data();
        const int64_t size = static_cast<int64_t>(m_image_points.size());
        while (o < size && points[o].segment_id != 0) {
            o += step;
        }
        if (o >= size) {
            break;
        }
        ++m_detector_index;
        if (m_detector.update(points[o], m_detector_index)) {
            // The frame runs from the front of the buffer through the point
            // that completed it.
            const std::size_t n_raw = static_cast<std::size_t>(o / step + 1);
            const std::size_t n_image = n_raw * static_cast<std::size_t>(step);
            publish_front(n_raw, n_image);
            o -= static_cast<int64_t>(n_image);
        }
        o += step;
    }
    m_n_scanned = static_cast<int64_t>(m_image_points.size());
}

void Frame::publish_by_frame_flag() {
    if (m_row_size <= 0 || m_return_count <= 0) {
        return;
    }
    const int64_t row = m_row_size;
    const int64_t segments = m_segment_count;
    int64_t raw_limit = segments * kOverlapRows;
    int64_t image_limit = row * kOverlapRows;
    int64_t m = m_n_scanned;
    while (m < static_cast<int64_t>(m_image_points.size())) {
        const int64_t u = m_row_counter++;
        const uint8_t flag = m_raw_points[static_cast<std::size_t>(m / m_return_count)].frame_flag;
        if (m_flag_changes < kFlagChangesPerFrame) {
            if (flag != m_last_frame_flag) {
                ++m_flag_changes;
            }
        } else {
            m_flag_changes = 0;
            const int64_t frame_rows = u + 2 - m_boundary_row;
            m_boundary_row = u + 2;
            // The frame's own rows are judged; a frame longer than what is
            // buffered (the buffer was cleared meanwhile) is judged on what is.
            check_coverage(static_cast<std::size_t>(
                std::min<int64_t>(row * frame_rows, static_cast<int64_t>(m_image_points.size()))));
            emit_raw(m_raw_points.size());
            emit_image(m_image_points.size());
            raw_limit = std::min(segments * frame_rows - segments, raw_limit);
            image_limit = std::min(row * frame_rows - row, image_limit);
            m_last_frame_flag = flag;
            const int64_t before = static_cast<int64_t>(m_image_points.size());
            keep_last(m_raw_points, raw_limit);
            keep_last(m_image_points, image_limit);
            // The scan goes on after the boundary row wherever trimming moved
            // it: neither rows already counted nor rows not yet counted are
            // taken twice or skipped. (Moving back by the frame's length
            // instead re-counts the overlap after the first frame, which
            // turns every flag change into several frames.)
            m = std::max<int64_t>(m - (before - static_cast<int64_t>(m_image_points.size())), -row);
        }
        m += row;
    }
    m_n_scanned = static_cast<int64_t>(m_image_points.size());
}

void Frame::publish_front(std::size_t n_raw, std::size_t n_image) {
    check_coverage(n_image);
    emit_raw(n_raw);
    emit_image(n_image);
    m_raw_points.erase_front(n_raw);
    m_image_points.erase_front(n_image);
}

void Frame::emit_raw(std::size_t n_raw) {
    const VorlanSensorRawPointWithTime* points = m_raw_points.data();
    CallbackManager::instance().raw_frame_cb.emit(m_handle, n_raw, points);
}

void Frame::emit_image(std::size_t n_image) {
    const VorlanSensorImagePoint* points = m_image_points.data();
    CallbackManager::instance().image_frame_cb.emit(m_handle, n_image, points);
}

void Frame::check_coverage(std::size_t n_image) {
    if (n_image == 0 || !m_sensor->is_calibrated()) {
        return;
    }
    m_sensor->fault_tracker().check_points(n_image, m_image_points.data());
}

void Frame::clear() {
    util::LockGuard lock(m_mutex);
    if (lock.is_locked()) {
        clear_impl();
    }
}

void Frame::clear_impl() {
    m_raw_points.clear();
    m_image_points.clear();
    m_n_scanned = 0;
    m_detector_index = -1;
    m_detector.reset();
}

uint8_t Frame::get_frame_flag() {
    util::LockGuard lock(m_mutex);
    return m_raw_points.empty() ? 0 : m_raw_points.front().frame_flag;
}

std::size_t Frame::n_raw_points() {
    util::LockGuard lock(m_mutex);
    return m_raw_points.size();
}

std::size_t Frame::n_image_points() {
    util::LockGuard lock(m_mutex);
    return m_image_points.size();
}

// ---- FrameManager ---------------------------------------------------------------

FrameManager& FrameManager::instance() {
    static FrameManager manager;
    return manager;
}

std::shared_ptr<Frame> FrameManager::get_or_create_frame(VorlanSensorHandle handle) {
    try {
        util::LockGuard lock(m_mutex);
        if (!lock.is_locked()) {
            return {};
        }
        const auto found = m_frames.find(handle);
        if (found != m_frames.end()) {
            return found->second;
        }
        std::shared_ptr<Sensor> sensor = SensorManager::instance().get_sensor_by_handle(handle);
        if (!sensor) {
            return {};
        }
        std::shared_ptr<Frame> frame = std::make_shared<Frame>(std::move(sensor));
        m_frames.emplace(handle, frame);
        return frame;
    } catch (const std::bad_alloc&) {
        return {};
    }
}

std::shared_ptr<Frame> FrameManager::get_frame(VorlanSensorHandle handle) {
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked()) {
        return {};
    }
    const auto found = m_frames.find(handle);
    return found != m_frames.end() ? found->second : std::shared_ptr<Frame>();
}

void FrameManager::remove_frame(VorlanSensorHandle handle) {
    std::shared_ptr<Frame> dropped;
    {
        util::LockGuard lock(m_mutex);
        if (!lock.is_locked()) {
            return;
        }
        const auto found = m_frames.find(handle);
        if (found == m_frames.end()) {
            return;
        }
        dropped = std::move(found->second);
        m_frames.erase(found);
    }
    // The frame (and the sensor it keeps) goes here, outside the lock.
}

std::vector<std::shared_ptr<Frame>> FrameManager::snapshot() {
    std::vector<std::shared_ptr<Frame>> frames;
    util::LockGuard lock(m_mutex);
    if (lock.is_locked()) {
        frames.reserve(m_frames.size());
        for (const auto& entry : m_frames) {
            frames.push_back(entry.second);
        }
    }
    return frames;
}

void FrameManager::set_options(const VorlanSDKFrameOptions& options) {
    for (const std::shared_ptr<Frame>& frame : snapshot()) {
        frame->set_options(options);
    }
}

void FrameManager::clear() {
    std::map<VorlanSensorHandle, std::shared_ptr<Frame>> dropped;
    {
        util::LockGuard lock(m_mutex);
        if (!lock.is_locked()) {
            return;
        }
        dropped.swap(m_frames);
    }
    // The frames (and the sensors they keep) go here, outside the lock.
}

void FrameManager::clear_cache() {
    for (const std::shared_ptr<Frame>& frame : snapshot()) {
        frame->clear();
    }
}

}  // namespace vorlan_sdk
