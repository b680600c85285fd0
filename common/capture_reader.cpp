#include "capture_reader.h"

#include "sensor_payload.h"
#include "wire_bytes.h"

namespace vorlan_capture {

using vorlan_common::load_u16be;

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

void Traffic::add(uint16_t destination_port, bool sensor, int64_t time) {
    if (datagrams == 0) {
        first_time = earliest = latest = time;
    } else if (time < last_time) {
        ++backward_steps;
    }
    earliest = time < earliest ? time : earliest;
    latest = time > latest ? time : latest;
    last_time = time;
    ++datagrams;
    if (sensor) {
        ++sensor_datagrams;
        return;
    }
    for (std::size_t i = 0; i < n_ports; ++i) {
        if (ports[i] == destination_port) {
            ++port_counts[i];
            return;
        }
    }
    if (n_ports < kPorts) {
        ports[n_ports] = destination_port;
        port_counts[n_ports] = 1;
        ++n_ports;
        return;
    }
    ++other_ports;
}

HeaderStatus CaptureReader::open(const std::string& path) {
    m_reassembler.reset();
    (void)m_reassembler.take_abandoned_records();
    m_duplicates.reset();
    m_counters = SkipCounters();
    m_traffic = Traffic();
    m_finished = false;
    m_end = End();
    m_first_empty = EmptyRecord();
    const HeaderStatus status = m_file.open(path);
    m_next_offset = m_file.first_offset();
    return status;
}

void CaptureReader::seek(int64_t offset) {
    m_reassembler.reset();
    m_counters.add(Skip::incomplete, m_reassembler.take_abandoned_records());
    m_duplicates.reset();
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

bool CaptureReader::plausible_time(int64_t time) const {
    constexpr int64_t kMinuteUs = 60'000'000;
    return m_traffic.datagrams == 0 ||
           (time >= m_traffic.earliest && time - m_traffic.latest <= kMinuteUs);
}

bool CaptureReader::next(Datagram& datagram) {
    if (!m_file.is_open()) {
        return false;
    }
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
                end.offset = record.timed ? record.offset : m_next_offset;
                // A record cut inside its own header has no time of its own,
                // and a header whose length is damaged may carry garbage
                // for a time: one outside the data read so far (or a minute
                // past its end) is not taken as the place of the damage.
                end.has_time = record.timed && plausible_time(record.time);
                end.time = end.has_time ? record.time : 0;
                if (!m_finished) {
                    m_counters.add(Skip::broken_header);
                }
            }
            finish(end);
            return false;
        }
        m_next_offset = record.next_offset();
        if (record.included_length == 0 && !m_first_empty.met) {
            m_first_empty = EmptyRecord{true, record.offset, record.time};
        }
        Ipv4Packet packet;
        Skip skip = decode_ipv4(record.link_type, record.data, record.included_length, record.original_length, packet);
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
        datagram.destination = packet.destination;
        datagram.source_port = load_u16be(udp);
        datagram.destination_port = load_u16be(udp + 2);
        datagram.sensor = is_sensor_payload(datagram.payload, datagram.size);
        datagram.time = time;
        if (datagram.sensor && m_drop_duplicates &&
            m_duplicates.seen(datagram.source, datagram.payload, datagram.size, time)) {
            ++m_counters.duplicates;
            continue;
        }
        m_traffic.add(datagram.destination_port, datagram.sensor, time);
        return true;
    }
}

}  // namespace vorlan_capture
