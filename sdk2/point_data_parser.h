// The point parsers ("STDV", "STA0") and the point listeners. Points are
// published where they lie in the payload, never copied or converted.
#ifndef VORLAN_SDK2_POINT_DATA_PARSER_H
#define VORLAN_SDK2_POINT_DATA_PARSER_H

#include <cstddef>
#include <cstdint>

#include "callback_list.h"

namespace vorlan_sdk2 {

using PointsList = CallbackList<void, uint64_t, int64_t, size_t, size_t, const uint8_t*>;

// The point listeners, the frame aggregator among them.
PointsList& pointsCallbacks();

// Adds a point listener behind the others (false: null or already there).
// May throw std::bad_alloc.
bool addPointListener(PointsList::Callback callback, void* user_data);
// Removes a point listener; false when it was not registered.
bool removePointListener(PointsList::Callback callback, void* user_data);
void pointCallbacksClear();

// Hands one batch of `n_points` records `stride` bytes apart to every point
// listener, on the calling thread. `points` must stay valid during the call.
void VorlanAddPoints(uint64_t handle, int64_t timestamp, size_t n_points, size_t stride, const uint8_t* points);

// Parsers of the chain: 0 when the payload was taken.
int pointDataParser(uint64_t handle, int64_t timestamp, const uint8_t* data, size_t size, void* user_data);
int trustedDataParser(uint64_t handle, int64_t timestamp, const uint8_t* data, size_t size, void* user_data);

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_POINT_DATA_PARSER_H
