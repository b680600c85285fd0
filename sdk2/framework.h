// The framework's state: the initialised flag, the parser chain and the
// switches that later stages of the receive path read on every payload.
#ifndef VORLAN_SDK2_FRAMEWORK_H
#define VORLAN_SDK2_FRAMEWORK_H

#include <cstddef>
#include <cstdint>

#include "callback_list.h"

namespace vorlan_sdk2 {

using ParserList = CallbackList<int, uint64_t, int64_t, const uint8_t*, size_t>;

// The chain every payload runs through until a parser takes it.
ParserList& parsers();

// Flags read without a lock from any thread.
bool isInitialized();
bool isLegacyTranslationStarted();
void setLegacyTranslationStarted(bool started);
bool isAsyncRelayEnabled();
void setAsyncRelayEnabled(bool enabled);

// Installs the built-in parsers and marks the library initialised; a
// second call returns VORLAN_ERROR_ALREADY_INITIALIZED.
int initializeFramework(int api_version);
// Clears the listeners, stops every source, forgets every sensor.
int deinitializeFramework();

// Runs the chain on the calling thread, whether or not the relay is on (the
// relay thread's entry). Returns 0.
int VorlanReceiveDataDirect(uint64_t handle, int64_t timestamp, const uint8_t* data, size_t size);

// ---- Provided by the units of frames, data sources and legacy translation.

// Forgets every frame listener.
void frameCallbacksClear();
// Empties every sensor's frame buffer.
void clearFrameAggregator();
// Discards the payloads queued for the relay thread.
void clearAsyncRelay();
// Forgets the counts of the networking source last stopped.
void forgetNetworkCounts();
// Stops and unloads every capture replay.
void VorlanReplayStop();
// The frame listener behind single-frame stepping: pauses the replay its
// user pointer names after one frame and removes itself.
void singleStepFrameListener(uint64_t handle, int64_t timestamp, size_t n_points, size_t stride,
                             const uint8_t* points, void* user_data);
// Queues the payload for the relay thread.
int VorlanReceiveDataAsync(uint64_t handle, int64_t timestamp, const uint8_t* data, size_t size);

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_FRAMEWORK_H
