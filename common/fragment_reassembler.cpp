#include "fragment_reassembler.h"

#include <algorithm>
#include <cstring>

namespace vorlan_capture {

namespace {

bool block_set(const uint64_t* blocks, std::size_t i) { return (blocks[i / 64] >> (i % 64)) & 1; }
void set_block(uint64_t* blocks, std::size_t i) { blocks[i / 64] |= uint64_t(1) << (i % 64); }

}  // namespace

void FragmentReassembler::abandon(Pending& pending) {
    m_abandoned_records += pending.records;
    pending.used = false;
}

FragmentReassembler::Pending& FragmentReassembler::slot_for(const Ipv4Packet& fragment, int64_t time) {
    Pending* free_slot = nullptr;
    Pending* oldest = nullptr;
    for (Pending& pending : m_pending) {
        if (!pending.used) {
            if (free_slot == nullptr) {
                free_slot = &pending;
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
    Pending& slot = free_slot != nullptr ? *free_slot : *oldest;
    if (slot.used) {
        abandon(slot);
    }
    slot.used = true;
    slot.source = fragment.source;
    slot.identification = fragment.identification;
    slot.time = time;
    slot.arrival = m_arrivals++;
    slot.received = 0;
    slot.total = 0;
    slot.records = 0;
    slot.blocks.fill(0);
    if (slot.bytes.size() < kMaxDatagram) {
        slot.bytes.resize(kMaxDatagram);
    }
    return slot;
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
    Pending& pending = slot_for(fragment, time);
    const std::size_t first_block = begin / 8;
    const std::size_t end_block = (end + 7) / 8;
    bool conflict = !fragment.more_fragments && pending.total != 0 && pending.total != end;
    conflict = conflict || (pending.total != 0 && end > pending.total);
    for (std::size_t i = first_block; i < end_block && !conflict; ++i) {
        conflict = block_set(pending.blocks.data(), i);
    }
    if (!fragment.more_fragments && !conflict) {
        // Nothing may already lie beyond the end the last fragment names.
        for (std::size_t i = end_block; i < kBlocks && !conflict; ++i) {
            conflict = block_set(pending.blocks.data(), i);
        }
    }
    if (conflict) {
        // A duplicate or an overlap: keep what the datagram has, drop this.
        if (pending.records == 0) {
            pending.used = false;
        }
        return Result::rejected;
    }
    for (std::size_t i = first_block; i < end_block; ++i) {
        set_block(pending.blocks.data(), i);
    }
    std::memcpy(pending.bytes.data() + begin, fragment.payload, fragment.payload_size);
    pending.received += fragment.payload_size;
    pending.time = std::min(pending.time, time);
    ++pending.records;
    if (!fragment.more_fragments) {
        pending.total = end;
    }
    if (pending.total == 0 || pending.received != pending.total) {
        return Result::waiting;
    }
    pending.used = false;
    datagram.source = pending.source;
    datagram.time = pending.time;
    datagram.bytes = pending.bytes.data();
    datagram.size = pending.total;
    datagram.records = pending.records;
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
}

}  // namespace vorlan_capture
