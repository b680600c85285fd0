#include "capture_reader.h"

namespace vorlan_capture {

void SkipCounters::add(Skip reason, uint64_t records) {
    switch (reason) {
    case Skip::not_udp: not_udp += records; break;
    case Skip::other_link: other_link += records; break;
    case Skip::snapshot_cut: snapshot_cut += records; break;
    case Skip::broken_header: broken_header += records; break;
    case Skip::incomplete: incomplete += records; break;
    case Skip::none: break;
    }
}

HeaderStatus CaptureReader::open(const std::string& path) {
    m_reassembler.reset();
    (void)m_reassembler.take_abandoned_records();
    m_counters = SkipCounters();
    m_next_offset = kFileHeaderSize;
    m_finished = false;
    m_end = End();
    return m_file.open(path);
}

void CaptureReader::seek(int64_t offset) {
    m_reassembler.reset();
    m_counters.add(Skip::incomplete, m_reassembler.take_abandoned_records());
    m_next_offset = offset;
    m_finished = false;
    m_end = End();
}

void CaptureReader::finish(const End& end) {
    if (!m_finished) {
        m_reassembler.reset();
        m_counters.add(Skip::incomplete, m_reassembler.take_abandoned_records());
        m_finished = true;
        m_end = end;
    }
}

bool CaptureReader::next(Datagram& datagram) {
    if (!m_file.is_open()) {
        return false;
    }
    const uint32_t link_type = m_file.header().link_type;
    Record record;
    for (;;) {
        record = Record();
        RecordStatus status = m_file.read(m_next_offset, record);
        if ((status == RecordStatus::ok || status == RecordStatus::oversized) && !length_plausible(record)) {
            status = RecordStatus::cut;
        }
        if (status == RecordStatus::oversized) {
            // One flipped bit in a length makes a record claim more than the
            // file holds: that is where the readable records end, not a
            // record to step over into nothing.
            const int64_t size = m_file.size();
            if (size >= 0 && record.next_offset() <= size) {
                m_counters.add(Skip::broken_header);
                m_next_offset = record.next_offset();
                continue;
            }
            status = RecordStatus::cut;
        }
        if (status != RecordStatus::ok) {
            End end;
            end.kind = status == RecordStatus::end ? End::clean
                       : status == RecordStatus::cut ? End::cut
                                                     : End::io_error;
            if (end.kind == End::cut) {
                end.offset = m_next_offset;
                // A record cut inside its own header has no time of its own.
                end.has_time = record.offset == m_next_offset;
                end.time = record.time;
                if (!m_finished) {
                    m_counters.add(Skip::broken_header);
                }
            }
            finish(end);
            return false;
        }
        m_next_offset = record.next_offset();
        Ipv4Packet packet;
        Skip skip = decode_ipv4(link_type, record.data, record.included_length, record.original_length, packet);
        if (skip != Skip::none) {
            m_counters.add(skip);
            continue;
        }
        const uint8_t* udp = packet.payload;
        std::size_t udp_size = packet.payload_size;
        uint32_t records = 1;
        int64_t time = record.time;
        if (packet.is_fragment()) {
            FragmentReassembler::Datagram whole;
            const FragmentReassembler::Result result = m_reassembler.add(packet, record.time, whole);
            m_counters.add(Skip::incomplete, m_reassembler.take_abandoned_records());
            if (result == FragmentReassembler::Result::rejected) {
                m_counters.add(Skip::broken_header);
                continue;
            }
            if (result == FragmentReassembler::Result::waiting) {
                continue;
            }
            udp = whole.bytes;
            udp_size = whole.size;
            records = whole.records;
            time = whole.time;
        }
        skip = udp_payload(udp, udp_size, datagram.payload, datagram.size);
        if (skip != Skip::none) {
            m_counters.add(skip, records);
            continue;
        }
        datagram.source = packet.source;
        datagram.time = time;
        return true;
    }
}

}  // namespace vorlan_capture
