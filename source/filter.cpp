#include "filter.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <tuple>

namespace vorlan_sdk {

namespace {

// Three labels of this many bits fit one 64-bit label.
constexpr int kMaxBitsPerAxis = 21;
constexpr int32_t kMaxCellsPerAxis = (int32_t{1} << kMaxBitsPerAxis) - 1;

int32_t cells_along(double min, double max, double resolution) {
    const double n = (max - min) / resolution;
    if (!(n >= 0.0)) {
        return 0;
    }
    return n >= kMaxCellsPerAxis ? kMaxCellsPerAxis : static_cast<int32_t>(n);
}

// Number of bits of n: floor(log2 n) + 1, 0 for n = 0.
int bit_width(int32_t n) {
    int bits = 0;
    while (n > 0) {
        ++bits;
        n >>= 1;
    }
    return bits;
}

// The history box: 175 m either side of the sensor's axis and 350 m ahead,
// in 1 m cells.
constexpr double kBoxHalfWidth = 175.0;
constexpr double kBoxDepth = 350.0;
constexpr double kResolution = 1.0;
// Points nearer than this along the axis are not filtered.
constexpr double kMinRange = 1.0;
// Neighbours are searched up to this distance (the reach at the largest
// plausible speed over one window), within this many cells per axis.
constexpr double kSearchRadiusSquared = 100.0;
constexpr int32_t kSearchCells = 11;
// A batch may start this far before the previous one ended without being a
// jump back in time.
constexpr int64_t kMaxOverlap = 3000;

}  // namespace

// ---- SparseGrid ---------------------------------------------------------------

SparseGrid::SparseGrid(double x_min, double x_max, double y_min, double y_max, double z_min, double z_max,
                       double resolution)
    : m_min{x_min, y_min, z_min}, m_max{x_max, y_max, z_max}, m_resolution(resolution) {
    m_bits = 0;
    for (int axis = 0; axis < 3; ++axis) {
        m_n[axis] = cells_along(m_min[axis], m_max[axis], m_resolution);
        m_bits = std::max(m_bits, bit_width(m_n[axis]));
    }
    m_mask = (uint64_t{1} << m_bits) - 1;
    // Room for 32,000 cells before the table grows.
    m_hash_shift = 64 - 16;
    m_labels.assign(std::size_t{1} << 16, kEmpty);
    m_cells.assign(m_labels.size(), Cell{0, 0});
}

int32_t SparseGrid::axis_cell(int axis, double value) const {
    const double i = (value - m_min[axis]) / m_resolution;
    if (!(i >= 0.0) || m_n[axis] == 0) {
        return 0;
    }
    const double last = static_cast<double>(m_n[axis] - 1);
    return static_cast<int32_t>(i > last ? last : i);
}

std::array<int32_t, 3> SparseGrid::cell_of(double x, double y, double z) const {
    return {axis_cell(0, x), axis_cell(1, y), axis_cell(2, z)};
}

uint64_t SparseGrid::label_of_cell(int32_t ix, int32_t iy, int32_t iz) const {
    return (static_cast<uint64_t>(ix) & m_mask) + ((static_cast<uint64_t>(iy) & m_mask) << m_bits) +
           ((static_cast<uint64_t>(iz) & m_mask) << (2 * m_bits));
}

uint64_t SparseGrid::calculate_label(double x, double y, double z) const {
    const std::array<int32_t, 3> cell = cell_of(x, y, z);
    return label_of_cell(cell[0], cell[1], cell[2]);
}

uint64_t SparseGrid::add_point(double x, double y, double z, int32_t index) {
    const uint64_t label = calculate_label(x, y, z);
    add_with_label(label, index);
    return label;
}

std::size_t SparseGrid::probe(uint64_t label) const {
    const std::size_t mask = m_labels.size() - 1;
    std::size_t slot = home_slot(label);
    while (m_labels[slot] != kEmpty && m_labels[slot] != label) {
        slot = (slot + 1) & mask;
    }
    return slot;
}

void SparseGrid::grow() {
    std::vector<uint64_t> labels(m_labels.size() * 2, kEmpty);
    std::vector<Cell> cells(labels.size(), Cell{0, 0});
    labels.swap(m_labels);
    cells.swap(m_cells);
    --m_hash_shift;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        if (labels[i] != kEmpty) {
            const std::size_t slot = probe(labels[i]);
            m_labels[slot] = labels[i];
            m_cells[slot] = cells[i];
        }
    }
}

void SparseGrid::add_with_label(uint64_t label, int32_t index) {
    if (label == kEmpty) {
        return;  // not a label this grid makes
    }
    if (2 * (m_size + 1) > m_labels.size()) {
        grow();
    }
    const std::size_t slot = probe(label);
    if (m_labels[slot] == kEmpty) {
        m_labels[slot] = label;
        m_cells[slot] = Cell{index, 0};
        ++m_size;
    } else {
        m_cells[slot].first = index;
        ++m_cells[slot].second;
    }
}

void SparseGrid::delete_with_label(uint64_t label) {
    if (label == kEmpty) {
        return;
    }
    std::size_t slot = probe(label);
    if (m_labels[slot] == kEmpty) {
        return;
    }
    if (m_cells[slot].second > 0) {
        --m_cells[slot].second;
        return;
    }
    // Removes the cell and shifts later members of its probe chain back, so
    // that no look-up stops early at the hole.
    const std::size_t mask = m_labels.size() - 1;
    std::size_t next = slot;
    for (;;) {
        next = (next + 1) & mask;
        if (m_labels[next] == kEmpty) {
            break;
        }
        const std::size_t home = home_slot(m_labels[next]);
        // Movable when its home does not lie cyclically in (slot, next].
        const bool home_after_hole = slot <= next ? (home > slot && home <= next) : (home > slot || home <= next);
        if (!home_after_hole) {
            m_labels[slot] = m_labels[next];
            m_cells[slot] = m_cells[next];
            slot = next;
        }
    }
    m_labels[slot] = kEmpty;
    --m_size;
}

SparseGrid::Cell SparseGrid::get_with_label(uint64_t label) const {
    const Cell* cell = find_with_label(label);
    if (cell == nullptr) {
        throw std::out_of_range("SparseGrid: no such cell");
    }
    return *cell;
}

const SparseGrid::Cell* SparseGrid::find_with_label(uint64_t label) const {
    if (label == kEmpty) {
        return nullptr;
    }
    const std::size_t slot = probe(label);
    return m_labels[slot] == kEmpty ? nullptr : &m_cells[slot];
}

void SparseGrid::clear() {
    std::fill(m_labels.begin(), m_labels.end(), kEmpty);
    m_size = 0;
}

// ---- SpatialTemporalFilter ------------------------------------------------------

SpatialTemporalFilter::SpatialTemporalFilter(const VorlanSensorInformation& information)
    : m_information(information),
      // A sensor that reports no return count still has one return per point.
      m_capacity(std::max<int32_t>(1, information.return_count) * kHistoryPerReturn),
      m_history(static_cast<std::size_t>(m_capacity)),
      m_grid(-kBoxHalfWidth, kBoxHalfWidth, 0.0, kBoxDepth, -kBoxHalfWidth, kBoxHalfWidth, kResolution) {
    // The least distance between a point of a cell and a point of the cell
    // (dx, dy, dz) away: the cells in between, (|d| - 1) per axis.
    for (int32_t dx = -kSearchCells; dx <= kSearchCells; ++dx) {
        for (int32_t dy = -kSearchCells; dy <= kSearchCells; ++dy) {
            for (int32_t dz = -kSearchCells; dz <= kSearchCells; ++dz) {
                double cells = 0.0;
                for (int32_t d : {dx, dy, dz}) {
                    if (d != 0) {
                        const double gap = std::abs(d) - 1;
                        cells += gap * gap;
                    }
                }
                const double squared = cells * kResolution * kResolution;
                if (squared < kSearchRadiusSquared) {
                    m_neighbours.push_back({squared, dx, dy, dz});
                }
            }
        }
    }
    std::sort(m_neighbours.begin(), m_neighbours.end(), [](const Neighbour& a, const Neighbour& b) {
        return std::tie(a.squared_distance, a.dx, a.dy, a.dz) < std::tie(b.squared_distance, b.dx, b.dy, b.dz);
    });
}

void SpatialTemporalFilter::reset() {
    m_first_timestamp = -1;
    m_previous_batch_timestamp = 0;
    m_write = 0;
    m_insert = 0;
    m_remove = 0;
    m_tail = 0;
    m_newest = 0;
    m_full = false;
    m_history_ready = false;
    m_grid.clear();
}

void SpatialTemporalFilter::run(std::size_t n_points, std::size_t n_returns, VorlanSensorImagePoint* points) {
    if (n_points == 0 || n_returns == 0 || points == nullptr) {
        return;
    }
    const int64_t start = points[0].timestamp;
    if (m_first_timestamp == -1) {
        m_first_timestamp = start;
        m_previous_batch_timestamp = start - 3;
    }
    if (start < m_previous_batch_timestamp - kMaxOverlap || start > m_previous_batch_timestamp + kWindow) {
        reset();
    }
    const std::size_t n = n_points * n_returns;
    for (std::size_t i = 0; i < n; ++i) {
        filter_point(points[i]);
    }
    // The end of this batch is where the next one must continue.
    m_previous_batch_timestamp = points[n - 1].timestamp;
}

void SpatialTemporalFilter::filter_point(VorlanSensorImagePoint& point) {
    // From image coordinates to metres: y along the sensor's axis.
    const double u = point.image_x;
    const double w = point.image_z;
    const double y = point.distance / std::sqrt(u * u + w * w + 1.0);
    const double x = -u * y;
    const double z = -w * y;
    if (!(x > -kBoxHalfWidth && x < kBoxHalfWidth && y > kMinRange && y < kBoxDepth && z > -kBoxHalfWidth &&
          z < kBoxHalfWidth)) {
        return;
    }

    if (m_full && m_remove == m_write) {
        // The ring is full of entries still in use: the oldest one leaves the
        // grid (or the queue for it) before its slot is reused.
        if (m_insert == m_remove) {
            m_insert = next(m_insert);
        } else {
            m_grid.delete_with_label(m_history[static_cast<std::size_t>(m_remove)].label);
        }
        m_remove = next(m_remove);
    }
    const std::array<int32_t, 3> cell = m_grid.cell_of(x, y, z);
    m_history[static_cast<std::size_t>(m_write)] = Entry{
        point.timestamp, x, y, z, point.distance, point.segment_id, m_grid.label_of_cell(cell[0], cell[1], cell[2])};
    m_newest = m_write;
    if (m_full) {
        m_tail = next(m_tail);
    }
    m_write = next(m_write);
    if (m_write == m_tail) {
        m_full = true;
    }

    const Entry& newest = m_history[static_cast<std::size_t>(m_newest)];
    while (m_insert != m_newest &&
           newest.timestamp - m_history[static_cast<std::size_t>(m_insert)].timestamp > kWindow) {
        m_grid.add_with_label(m_history[static_cast<std::size_t>(m_insert)].label, m_insert);
        m_insert = next(m_insert);
    }
    while (m_remove != m_insert && m_history[static_cast<std::size_t>(m_insert)].timestamp -
                                           m_history[static_cast<std::size_t>(m_remove)].timestamp >
                                       kWindow) {
        m_grid.delete_with_label(m_history[static_cast<std::size_t>(m_remove)].label);
        m_history_ready = true;
        m_remove = next(m_remove);
    }

    if (m_history_ready && !has_plausible_neighbour(newest, cell)) {
        point.flags &= static_cast<uint8_t>(~VORLAN_POINT_VALID);
    }
}

bool SpatialTemporalFilter::has_plausible_neighbour(const Entry& entry, const std::array<int32_t, 3>& cell) const {
    // The list is sorted by distance, so the first occupied cell is the
    // nearest one.
    for (const Neighbour& neighbour : m_neighbours) {
        const int32_t ix = cell[0] + neighbour.dx;
        const int32_t iy = cell[1] + neighbour.dy;
        const int32_t iz = cell[2] + neighbour.dz;
        if (!m_grid.contains(0, ix) || !m_grid.contains(1, iy) || !m_grid.contains(2, iz)) {
            continue;
        }
        const SparseGrid::Cell* occupied = m_grid.find_with_label(m_grid.label_of_cell(ix, iy, iz));
        if (occupied == nullptr) {
            continue;
        }
        const int64_t earlier = m_history[static_cast<std::size_t>(occupied->first)].timestamp;
        const double seconds = std::abs(static_cast<double>(entry.timestamp - earlier)) * 1e-6;
        const double reach = kMaxSpeed * seconds;
        return neighbour.squared_distance <= reach * reach;
    }
    return false;
}

}  // namespace vorlan_sdk
