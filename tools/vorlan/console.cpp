#include "console.h"

#include <algorithm>
#include <cstdio>

namespace vorlan_tool {
namespace {

constexpr int kBarWidth = 30;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

}  // namespace

std::string format_progress_bar(double fraction, int width, const std::string& label) {
    if (!(fraction >= 0.0)) {
        fraction = 0.0;  // NaN included
    }
    fraction = std::min(fraction, 1.0);
    const int filled = static_cast<int>(fraction * width + 1e-9);
    std::string bar = "[";
    bar.append(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(width - filled), '-');
    char percent[16];
    std::snprintf(percent, sizeof(percent), "] %3d%%", static_cast<int>(fraction * 100.0 + 1e-9));
    bar += percent;
    if (!label.empty()) {
        bar += "  ";
        bar += label;
    }
    return bar;
}

Console::Console(std::ostream& out, std::ostream& err, bool progress_bar)
    : m_out(out), m_err(err), m_progress_bar(progress_bar) {}

void Console::line(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    erase_bar_locked();
    m_out << text << '\n';
    if (m_bar_visible) {
        draw_bar_locked();
    }
    m_out.flush();
}

void Console::error(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    erase_bar_locked();
    m_out.flush();
    m_err << "vorlan: " << text << std::endl;
    if (m_bar_visible) {
        draw_bar_locked();
        m_out.flush();
    }
}

void Console::warning(const std::string& text) { error("warning: " + text); }

void Console::progress(double fraction, const std::string& label) {
    if (!m_progress_bar) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fraction = fraction;
    m_label = label;
    const auto now = std::chrono::steady_clock::now();
    if (m_bar_visible && now - m_last_draw < kRedrawInterval) {
        return;
    }
    m_last_draw = now;
    erase_bar_locked();
    m_bar_visible = true;
    draw_bar_locked();
    m_out.flush();
}

void Console::end_progress() {
    std::lock_guard<std::mutex> lock(m_mutex);
    erase_bar_locked();
    m_bar_visible = false;
    m_out.flush();
}

void Console::erase_bar_locked() {
    if (m_bar_visible) {
        m_out << "\r\033[K";  // back to the line's start, clear to its end
    }
}

void Console::draw_bar_locked() { m_out << format_progress_bar(m_fraction, kBarWidth, m_label); }

}  // namespace vorlan_tool
