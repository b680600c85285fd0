// Reassembly of fragmented IPv4 datagrams, each identified by its source
// address and IPv4 identification, from fragments in any order. Fragments
// of several datagrams may interleave. State is bounded: at most kMaxPending
// datagrams wait for fragments; a further one pushes out the one waiting
// longest, which is given up.
//
// Senders reuse identifications (many send 0 in every datagram), so the
// fragments gathered under one key may belong to different datagrams when
// some were lost. Such a mix is never handed out: a fragment that overlaps
// what is gathered with other bytes, or a new first fragment, ends the
// datagram gathered so far as incomplete and starts afresh; and a datagram
// whose UDP length or checksum disagrees with the bytes gathered is given up.
//
// A mirror port repeats every fragment, so copies of a datagram's last
// fragments may come after it was complete. The datagram last completed in
// a slot is kept until the slot is needed again; fragments gathered later
// that only repeat its bytes are copies, not losses, when they are given up.
#ifndef VORLAN_COMMON_FRAGMENT_REASSEMBLER_H
#define VORLAN_COMMON_FRAGMENT_REASSEMBLER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "frame_decoder.h"

namespace vorlan_capture {

class FragmentReassembler {
public:
    static constexpr std::size_t kMaxPending = 16;
    // The IPv4 total length is 16 bits, so no datagram payload is longer.
    static constexpr std::size_t kMaxDatagram = 65535;

    enum class Result {
        waiting,   // kept; more fragments are needed
        complete,  // `datagram` holds the whole IPv4 payload
        rejected,  // not usable (overlap, overflow, odd length): dropped
    };

    struct Datagram {
        uint32_t source = 0;
        uint32_t destination = 0;
        int64_t time = 0;  // of the earliest record that held a fragment
        const uint8_t* bytes = nullptr;  // valid until the next add() or reset()
        std::size_t size = 0;
        uint32_t records = 0;  // fragments it was made of
    };

    // Adds one fragment recorded at `time`. A complete datagram leaves the
    // pending set. Allocates only the first time a slot is used.
    Result add(const Ipv4Packet& fragment, int64_t time, Datagram& datagram);

    // Records of datagrams given up since the last call: pushed out, or
    // forgotten by reset(). Counting them as lost is the caller's business.
    uint64_t take_abandoned_records();
    // Gives up every pending datagram.
    void reset();

private:
    static constexpr std::size_t kBlocks = (kMaxDatagram + 7) / 8;

    struct Pending {
        bool used = false;           // fragments are being gathered
        bool done = false;           // holds the datagram it completed last

        uint32_t source = 0;
        uint32_t destination = 0;
        uint16_t identification = 0;
        int64_t time = 0;
        uint64_t arrival = 0;        // order of creation, to find the oldest
        std::size_t received = 0;    // bytes, never counting one twice
        std::size_t total = 0;       // known once the last fragment came; 0 before
        std::size_t extent = 0;      // end of the furthest fragment gathered
        uint32_t records = 0;
        std::vector<uint8_t> bytes;  // kMaxDatagram once used, then kept
        std::array<uint64_t, (kBlocks + 63) / 64> blocks{};  // 8-byte blocks received
    };

    Pending& slot_for(const Ipv4Packet& fragment, int64_t time);
    void start(Pending& slot, const Ipv4Packet& fragment, int64_t time);
    void abandon(Pending& pending);
    // Whether every byte gathered in `pending` repeats a datagram completed
    // under the same key.
    bool repeats_completed(const Pending& pending) const;
    // Whether `fragment` cannot join `pending` (an overlap, or an end other
    // than the one known), and whether it is merely a copy of bytes there.
    bool clashes(const Pending& pending, const Ipv4Packet& fragment, bool& copy) const;

    std::array<Pending, kMaxPending> m_pending;
    uint64_t m_arrivals = 0;
    uint64_t m_abandoned_records = 0;
};

}  // namespace vorlan_capture

#endif  // VORLAN_COMMON_FRAGMENT_REASSEMBLER_H
