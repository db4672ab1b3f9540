// Running a kernel over a long input: without the GIL above a size threshold,
// so that other threads run meanwhile, and in pieces, so that the main thread
// notices a pending signal (Ctrl-C) soon.
#pragma once

#include <Python.h>

#include "kernels/shared/float_status.hpp"
#include "kernels/shared/main_thread.hpp"
#include "module/ref.hpp"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <thread>

namespace ostrel::kernels {

// Work is counted in samples read.
inline constexpr std::ptrdiff_t work_without_gil = std::ptrdiff_t{1} << 16;
inline constexpr std::ptrdiff_t work_per_piece = std::ptrdiff_t{1} << 22;

// Never returns: for a thread the interpreter has ended, until the process
// exits.
[[noreturn]] inline void stay_parked() noexcept
{
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(1));
    }
}

// Takes the GIL back.  A thread that asks while another finalizes the
// interpreter is ended inside the call (before 3.14, with pthread_exit,
// which unwinds this stack as a foreign exception); unwinding must not
// reach the frames above, whose owners would run without the GIL, nor a
// noexcept destructor, which would abort the process.  Such a thread
// parks instead, as 3.14 parks it itself.
inline void restore_thread(PyThreadState* saved) noexcept
{
    try {
        PyEval_RestoreThread(saved);
    } catch (...) {
        stay_parked();
    }
}

// The GIL given up while it lives (when asked to), taken back on every exit.
class GilReleased {
public:
    explicit GilReleased(bool release) : saved_(release ? PyEval_SaveThread() : nullptr) {}
    ~GilReleased() { take_back(); }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

    void take_back()
    {
        if (saved_ != nullptr) {
            restore_thread(saved_);
            saved_ = nullptr;
        }
    }
    void give_up() { saved_ = PyEval_SaveThread(); }

private:
    PyThreadState* saved_;
};

// Runs work(begin, end) over [0, total) in order.  A signal handler's
// exception, when a pending signal interrupts the run, is thrown as
// PythonError.
template <class Work>
void run_in_pieces(std::ptrdiff_t total, std::ptrdiff_t work_per_item, FloatStatus& status, Work&& work)
{
    const std::ptrdiff_t per_item = std::max<std::ptrdiff_t>(work_per_item, 1);
    const std::ptrdiff_t items_per_piece = std::max<std::ptrdiff_t>(work_per_piece / per_item, 1);
    // Only the main thread handles signals; other threads never need the GIL back.
    const bool handles_signals = on_main_thread();
    const bool release = total >= (work_without_gil + per_item - 1) / per_item;
    GilReleased gil(release);
    for (std::ptrdiff_t begin = 0; begin < total;) {
        const std::ptrdiff_t end = begin + std::min(items_per_piece, total - begin);
        work(begin, end);
        begin = end;
        if (handles_signals && begin < total) {
            status.collect();
            gil.take_back();
            if (PyErr_CheckSignals() < 0) {
                raise_pending();
            }
            status.ignore_raised_elsewhere();
            if (release) {
                gil.give_up();
            }
        }
    }
}

} // namespace ostrel::kernels
