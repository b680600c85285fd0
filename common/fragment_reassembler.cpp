#include "fragment_reassembler.h"

#include <algorithm>
#include <cstring>

#include "wire_bytes.h"

namespace vorlan_capture {

using vorlan_common::load_u16be;

namespace {

bool block_set(const uint64_t* blocks, std::size_t i) { return (blocks[i / 64] >> (i % 64)) & 1; }
void set_block(uint64_t* blocks, std::size_t i) { blocks[i / 64] |= uint64_t(1) << (i % 64); }

// The UDP header opens the first fragment: the length it names and the
// checksum over all the bytes must agree with what was put together.
bool whole_udp_datagram(uint32_t source, uint32_t destination, const uint8_t* bytes, std::size_t size) {
    return size >= kUdpHeaderSize && load_u16be(bytes + 4) == size &&
           udp_checksum_agrees(source, destination, bytes, size);
}

}  // namespace

void FragmentReassembler::abandon(Pending& pending) {
    if (!repeats_completed(pending)) {
        m_abandoned_records += pending.records;
    }
    pending.used = false;
}

bool FragmentReassembler::repeats_completed(const Pending& pending) const {
    for (const Pending& done : m_pending) {
        if (!done.done || done.source != pending.source || done.destination != pending.destination ||
            done.identification != pending.identification || pending.extent > done.total) {
            continue;
        }
        bool same = pending.records != 0;
        for (std::size_t i = 0; same && i < (pending.extent + 7) / 8; ++i) {
            if (!block_set(pending.blocks.data(), i)) {
                continue;
            }
            const std::size_t begin = i * 8;
            const std::size_t end = std::min(begin + 8, pending.extent);
            same = std::memcmp(done.bytes.data() + begin, pending.bytes.data() + begin, end - begin) == 0;
        }
        if (same) {
            return true;
        }
    }
    return false;
}

void FragmentReassembler::start(Pending& slot, const Ipv4Packet& fragment, int64_t time) {
    slot.used = true;
    slot.done = false;
    slot.source = fragment.source;
    slot.destination = fragment.destination;
    slot.identification = fragment.identification;
    slot.time = time;
    slot.arrival = m_arrivals++;
    slot.received = 0;
    slot.total = 0;
    slot.extent = 0;
    slot.records = 0;
    slot.blocks.fill(0);
    if (slot.bytes.size() < kMaxDatagram) {
        slot.bytes.resize(kMaxDatagram);
    }
}

FragmentReassembler::Pending& FragmentReassembler::slot_for(const Ipv4Packet& fragment, int64_t time) {
    Pending* free_slot = nullptr;
    Pending* oldest_done = nullptr;  // a completed datagram of another key
    Pending* oldest = nullptr;
    for (Pending& pending : m_pending) {
        if (!pending.used) {
            const bool same_key = pending.source == fragment.source &&
                                  pending.identification == fragment.identification;
            if (!pending.done) {
                free_slot = free_slot != nullptr ? free_slot : &pending;
            } else if (!same_key && (oldest_done == nullptr || pending.arrival < oldest_done->arrival)) {
                oldest_done = &pending;
            }
            continue;
        }
        if (pending.source == fragment.source && pending.identification == fragment.identification) {
            return pending;
        }
        if (oldest == nullptr || pending.arrival < oldest->arrival) {
            oldest = &pending;
        }
    }
    Pending& slot = free_slot != nullptr ? *free_slot : oldest_done != nullptr ? *oldest_done : *oldest;
    if (slot.used) {
        abandon(slot);
    }
    start(slot, fragment, time);
    return slot;
}

bool FragmentReassembler::clashes(const Pending& pending, const Ipv4Packet& fragment, bool& copy) const {
    const std::size_t begin = fragment.fragment_offset;
    const std::size_t end = begin + fragment.payload_size;
    const std::size_t first_block = begin / 8;
    const std::size_t end_block = (end + 7) / 8;
    bool overlap = false;
    bool all_there = true;
    for (std::size_t i = first_block; i < end_block; ++i) {
        const bool there = block_set(pending.blocks.data(), i);
        overlap = overlap || there;
        all_there = all_there && there;
    }
    bool wrong_end = pending.total != 0 && (end > pending.total || (!fragment.more_fragments && end != pending.total));
    if (!fragment.more_fragments && !wrong_end) {
        // Nothing may already lie beyond the end the last fragment names.
        for (std::size_t i = end_block; i < kBlocks && !wrong_end; ++i) {
            wrong_end = block_set(pending.blocks.data(), i);
        }
    }
    // A fragment seen twice (a mirror port, a retransmitting switch) brings
    // nothing new; anything else that overlaps belongs to another datagram.
    copy = overlap && all_there && !wrong_end &&
           std::memcmp(pending.bytes.data() + begin, fragment.payload, fragment.payload_size) == 0;
    return overlap || wrong_end;
}

FragmentReassembler::Result FragmentReassembler::add(const Ipv4Packet& fragment, int64_t time, Datagram& datagram) {
    const std::size_t begin = fragment.fragment_offset;
    const std::size_t end = begin + fragment.payload_size;
    // Every fragment but the last carries a whole number of 8-byte blocks,
    // or the next one's offset could not follow it.
    if (end > kMaxDatagram || fragment.payload_size == 0 ||
        (fragment.more_fragments && fragment.payload_size % 8 != 0)) {
        return Result::rejected;
    }
    Pending* pending = &slot_for(fragment, time);
    bool copy = false;
    if (pending->records != 0 && clashes(*pending, fragment, copy)) {
        if (copy) {
            return Result::waiting;
        }
        // The identification was reused and fragments went missing: what
        // was gathered can never complete without mixing two datagrams.
        abandon(*pending);
        start(*pending, fragment, time);
    }
    for (std::size_t i = begin / 8; i < (end + 7) / 8; ++i) {
        set_block(pending->blocks.data(), i);
    }
    std::memcpy(pending->bytes.data() + begin, fragment.payload, fragment.payload_size);
    pending->received += fragment.payload_size;
    pending->extent = std::max(pending->extent, end);
    pending->time = std::min(pending->time, time);
    ++pending->records;
    if (!fragment.more_fragments) {
        pending->total = end;
    }
    if (pending->total == 0 || pending->received != pending->total) {
        return Result::waiting;
    }
    pending->used = false;
    if (fragment.protocol == kProtocolUdp &&
        !whole_udp_datagram(pending->source, pending->destination, pending->bytes.data(), pending->total)) {
        // Pieces of different datagrams that happen to fit together.
        m_abandoned_records += pending->records;
        return Result::waiting;
    }
    pending->done = true;
    datagram.source = pending->source;
    datagram.destination = pending->destination;
    datagram.time = pending->time;
    datagram.bytes = pending->bytes.data();
    datagram.size = pending->total;
    datagram.records = pending->records;
    return Result::complete;
}

uint64_t FragmentReassembler::take_abandoned_records() {
    const uint64_t records = m_abandoned_records;
    m_abandoned_records = 0;
    return records;
}

void FragmentReassembler::reset() {
    for (Pending& pending : m_pending) {
        if (pending.used) {
            abandon(pending);
        }
    }
    // What is read next comes from elsewhere in the file.
    for (Pending& pending : m_pending) {
        pending.done = false;
    }
}

}  // namespace vorlan_capture
