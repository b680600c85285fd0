// A spatial-temporal noise filter for the image points of one sensor: a point
// survives only if, about one frame earlier, some point lay close enough to it
// that an object moving at no more than 100 m/s could have covered the
// distance in the time between them. The library provides it for clients and
// tools; the receive path does not run it.
#ifndef VORLAN_SOURCE_FILTER_H
#define VORLAN_SOURCE_FILTER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "vorlan_sdk.h"

namespace vorlan_sdk {

// Occupancy of a box divided into cubic cells, kept only for occupied cells
// and keyed by a cell label: ix + (iy << bits) + (iz << 2 bits).
class SparseGrid {
public:
    // (index of the last point that entered the cell, occupants beyond the first)
    using Cell = std::pair<int32_t, int32_t>;

    SparseGrid(double x_min, double x_max, double y_min, double y_max, double z_min, double z_max, double resolution);

    // The label of the cell holding (x, y, z). A position outside the box is
    // pinned to the nearest cell, so a label never reaches into another axis.
    uint64_t calculate_label(double x, double y, double z) const;
    // The cell coordinates of (x, y, z), pinned to the box as above.
    std::array<int32_t, 3> cell_of(double x, double y, double z) const;
    // The label of cell (ix, iy, iz); each coordinate must be inside the box.
    uint64_t label_of_cell(int32_t ix, int32_t iy, int32_t iz) const;
    // True when cell coordinate `i` lies inside the box on `axis` (0 x, 1 y, 2 z).
    bool contains(int axis, int32_t i) const { return i >= 0 && i < m_n[axis]; }
    int32_t cell_count(int axis) const { return m_n[axis]; }
    int bits() const { return m_bits; }

    // Adds the point to its cell and returns the cell's label.
    uint64_t add_point(double x, double y, double z, int32_t index);
    // A new cell gets (index, 0); an occupied one records `index` as its last
    // point and counts one more occupant.
    void add_with_label(uint64_t label, int32_t index);
    // Takes one occupant out; the last one empties the cell. An empty cell is
    // left alone.
    void delete_with_label(uint64_t label);
    // The occupied cell `label`; throws std::out_of_range for an empty one.
    Cell get_with_label(uint64_t label) const;
    // The occupied cell `label`, or null; valid until the grid changes.
    const Cell* find_with_label(uint64_t label) const;

    std::size_t size() const { return m_size; }
    void clear();

private:
    // Cells live in an open-addressing table (linear probing, a power-of-two
    // number of slots, at most half of them used): a look-up is a multiply, a
    // shift and usually one compare, and the table allocates only when it
    // grows.
    static constexpr uint64_t kEmpty = ~uint64_t{0};  // labels use at most 63 bits

    int32_t axis_cell(int axis, double value) const;
    std::size_t home_slot(uint64_t label) const {
        return static_cast<std::size_t>((label * 0x9E3779B97F4A7C15ull) >> m_hash_shift);
    }
    // The slot holding `label`, or the empty slot where it would go.
    std::size_t probe(uint64_t label) const;
    void grow();

    std::array<double, 3> m_min;
    std::array<double, 3> m_max;
    double m_resolution;
    std::array<int32_t, 3> m_n;
    int m_bits;
    uint64_t m_mask;
    std::vector<uint64_t> m_labels;  // kEmpty marks a free slot
    std::vector<Cell> m_cells;       // beside m_labels
    std::size_t m_size = 0;
    int m_hash_shift = 64;
};

class SpatialTemporalFilter {
public:
    explicit SpatialTemporalFilter(const VorlanSensorInformation& information);

    // Filters the n_points * n_returns image points in place, clearing the
    // VORLAN_POINT_VALID bit of each point without a plausible predecessor.
    // Batches must come in time order; a batch that starts more than 3 ms
    // before the end of the previous one, or more than 100 ms after it,
    // starts the history afresh.
    void run(std::size_t n_points, std::size_t n_returns, VorlanSensorImagePoint* points);
    // Forgets the history.
    void reset();

    // Points are compared with those that arrived between two and one such
    // windows earlier (one frame at ten frames per second).
    static constexpr int64_t kWindow = 100001;  // µs
    static constexpr double kMaxSpeed = 100.0;  // m/s
    static constexpr int32_t kHistoryPerReturn = 75000;

private:
    struct Entry {
        int64_t timestamp;
        double x;
        double y;
        double z;
        float distance;
        uint8_t segment_id;
        uint64_t label;
    };
    // A cell offset and the least squared distance between points of the two
    // cells.
    struct Neighbour {
        double squared_distance;
        int32_t dx;
        int32_t dy;
        int32_t dz;
    };

    void filter_point(VorlanSensorImagePoint& point);
    // True when some point in the grid is close enough to the newest entry,
    // which lies in `cell`.
    bool has_plausible_neighbour(const Entry& entry, const std::array<int32_t, 3>& cell) const;
    int32_t next(int32_t position) const { return position + 1 == m_capacity ? 0 : position + 1; }

    VorlanSensorInformation m_information;
    int32_t m_capacity;
    std::vector<Entry> m_history;
    // Ring cursors. Entries from the remove position to the insert position
    // are in the grid; entries from the insert position to the newest wait
    // until they are old enough to be compared with.
    int32_t m_write = 0;
    int32_t m_insert = 0;
    int32_t m_remove = 0;
    int32_t m_tail = 0;
    int32_t m_newest = 0;
    bool m_full = false;
    SparseGrid m_grid;
    std::vector<Neighbour> m_neighbours;
    int64_t m_first_timestamp = -1;
    int64_t m_previous_batch_timestamp = 0;
    // Set once points have begun to leave the grid: from then on the grid
    // holds a whole window of history.
    bool m_history_ready = false;
};

}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_FILTER_H
