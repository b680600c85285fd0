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
// Whether VorlanDeinitialize is under way (the library still counts as
// initialised until it ends).
bool isDeinitializing();
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

// ---- Provided by the units of frames, the relay and replay.
// The framework calls these while it deinitialises, or routes payloads
// through them; each says what the framework may rely on.

// Frames. Forgets every frame listener, the FIFO's producer included, and makes
// a producer call still under way (one waiting for room in a full FIFO) drop
// its frame and return, so that a source thread a deinitialisation joins is
// never held by a client that stopped reading. The FIFO stays allocated and the
// aggregator keeps its buffers. Any thread; a listener already running
// finishes, the rest of its pass is skipped.
void frameCallbacksClear();
// Frames. Empties every sensor's frame buffer; the points they held are never
// published. Does not wait for a batch being aggregated: the aggregator carries
// the request out before that batch returns. Any thread, frame listeners
// included.
void clearFrameAggregator();
// Relay. Drops every payload queued for the relay thread without relaying it;
// nothing when no relay runs. Off the relay thread it waits only for the block
// being written and the one being relayed; on the relay thread (from a parser
// or listener) it returns at once and the queue is dropped when the current
// payload's parsers return.
void clearAsyncRelay();
// Forgets the counts of the networking source last stopped.
void forgetNetworkCounts();
// Replay. Empties all sixteen replay slots, so that their handles are refused
// from then on, removes each slot's single-step frame listener and unloads its
// reader: both of its threads are stopped and joined, then the relay's queue
// and the frame buffers are cleared. Returns once no replay thread runs. It
// joins the readers' threads, so it must not be called from one of them or from
// the relay thread they feed (a parser or listener).
void VorlanReplayStop();
// Replay. The frame listener a single-frame step registers, with a user pointer
// naming the replay slot and the load it was armed for. The first frame
// published after that replay delivered a payload in this step ends the step:
// the listener removes itself and pauses the replay. A frame from before (the
// end of the previous step) leaves it in place; for a slot since unloaded or
// loaded again it only removes itself. Runs inside the aggregator's
// publication: it takes only short-held locks (the slots', the frame list's,
// the reader's state) and never waits for a thread.
void singleStepFrameListener(uint64_t handle, int64_t timestamp, size_t n_points, size_t stride,
                             const uint8_t* points, void* user_data);
// Relay. Copies the payload into the relay's ring for the relay thread to run
// through the chain, waiting while the ring is full; the data need not outlive
// the call. When the relay was stopped after the caller saw it enabled, runs
// the chain on the calling thread instead, so the payload is not lost. Returns
// VORLAN_SUCCESS; VORLAN_ERROR_OUT_OF_MEMORY for a payload larger than a relay
// block and VORLAN_ERROR_INVALID_STATE when the relay stops while the caller
// waits, both with the payload dropped.
int VorlanReceiveDataAsync(uint64_t handle, int64_t timestamp, const uint8_t* data, size_t size);

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_FRAMEWORK_H
