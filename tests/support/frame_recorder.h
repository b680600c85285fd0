// Records what the library hands to the raw-frame and image-frame callbacks,
// in call order, from whichever thread calls them.
#ifndef VORLAN_TESTS_SUPPORT_FRAME_RECORDER_H
#define VORLAN_TESTS_SUPPORT_FRAME_RECORDER_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include "vorlan_sdk.h"

namespace vorlan_test {

// One published frame: the raw points of one raw-frame call and the image
// points of the image-frame call that followed it.
struct RecordedFrame {
    VorlanSensorHandle handle = 0;
    std::vector<VorlanSensorRawPointWithTime> raw;
    std::vector<VorlanSensorImagePoint> image;
    bool has_image = false;
};

class FrameRecorder {
public:
    // Registers both callbacks through the C interface; the library must be
    // initialised. Returns false when either registration fails.
    bool listen() {
        return vorlan_sdk_listen_raw_frames(&FrameRecorder::on_raw, this) == VORLAN_SUCCESS &&
               vorlan_sdk_listen_image_frames(&FrameRecorder::on_image, this) == VORLAN_SUCCESS;
    }

    static void on_raw(VorlanSensorHandle handle, size_t n, const VorlanSensorRawPointWithTime* points, void* self) {
        auto* recorder = static_cast<FrameRecorder*>(self);
        std::lock_guard<std::mutex> lock(recorder->m_mutex);
        RecordedFrame frame;
        frame.handle = handle;
        frame.raw.assign(points, points + n);
        recorder->m_frames.push_back(std::move(frame));
    }

    static void on_image(VorlanSensorHandle handle, size_t n, const VorlanSensorImagePoint* points, void* self) {
        auto* recorder = static_cast<FrameRecorder*>(self);
        {
            std::lock_guard<std::mutex> lock(recorder->m_mutex);
            if (recorder->m_frames.empty() || recorder->m_frames.back().has_image ||
                recorder->m_frames.back().handle != handle) {
                ++recorder->m_unpaired_images;  // an image frame without its raw frame first
                RecordedFrame frame;
                frame.handle = handle;
                recorder->m_frames.push_back(std::move(frame));
            }
            RecordedFrame& frame = recorder->m_frames.back();
            frame.image.assign(points, points + n);
            frame.has_image = true;
        }
        recorder->m_changed.notify_all();
    }

    std::vector<RecordedFrame> frames() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_frames;
    }
    std::size_t n_frames() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_frames.size();
    }
    // Image frames that did not follow a raw frame of the same sensor.
    std::size_t unpaired_images() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_unpaired_images;
    }
    void reset() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_frames.clear();
        m_unpaired_images = 0;
    }

    // Waits until at least `n` complete frames were recorded, or `timeout`.
    bool wait_for_frames(std::size_t n, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] {
            std::size_t complete = 0;
            for (const RecordedFrame& frame : m_frames) {
                complete += frame.has_image ? 1 : 0;
            }
            return complete >= n;
        });
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<RecordedFrame> m_frames;
    std::size_t m_unpaired_images = 0;
};

}  // namespace vorlan_test

#endif  // VORLAN_TESTS_SUPPORT_FRAME_RECORDER_H
