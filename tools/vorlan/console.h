// The tool's output: whole lines on standard output and standard error from
// any thread, and a progress bar on the last line of a terminal.
#ifndef VORLAN_TOOLS_CONSOLE_H
#define VORLAN_TOOLS_CONSOLE_H

#include <chrono>
#include <mutex>
#include <ostream>
#include <string>

namespace vorlan_tool {

// "[########------------]  40%  label" with `width` cells; `fraction` is
// clamped to 0..1.
std::string format_progress_bar(double fraction, int width, const std::string& label);

class Console {
public:
    // `progress_bar`: draw the bar at all (only when `out` is a terminal).
    Console(std::ostream& out, std::ostream& err, bool progress_bar);
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // One line on `out`; the bar, if shown, is redrawn below it.
    void line(const std::string& text);
    // "vorlan: <text>" on `err`.
    void error(const std::string& text);
    // "vorlan: warning: <text>" on `err`.
    void warning(const std::string& text);
    // "vorlan: <text>" on `err`: what the tool did on the user's behalf.
    void note(const std::string& text) { error(text); }

    // Shows the bar at `fraction`; redraws at most ten times a second.
    void progress(double fraction, const std::string& label);
    // Removes the bar, leaving the line empty.
    void end_progress();

    bool shows_progress() const { return m_progress_bar; }

private:
    void erase_bar_locked();
    void draw_bar_locked();

    std::mutex m_mutex;  // guards everything below and the streams
    std::ostream& m_out;
    std::ostream& m_err;
    const bool m_progress_bar;
    bool m_bar_visible = false;
    double m_fraction = 0.0;
    std::string m_label;
    std::chrono::steady_clock::time_point m_last_draw{};
};

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_CONSOLE_H
