// One asynchronous operation run to its end on a private io_context, against a
// deadline and an interruption test: the blocking style the host's channel
// function needs, with Ctrl-C still heard while waiting.
#ifndef TRV_TOOLS_ASIO_WAIT_H
#define TRV_TOOLS_ASIO_WAIT_H

#include <chrono>
#include <cstddef>
#include <functional>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

namespace tools {

struct OpResult {
    boost::system::error_code ec;
    size_t bytes = 0;
    bool timedOut = false;
    bool interrupted = false;
};

// start(handler) begins the operation, handler(ec, bytes) ends it; cancel()
// aborts it. Both the operation's handler and the timer's have run when this
// returns, since they refer to this frame. interrupted() is tested after every
// handler the io_context runs (a signal handler among them).
template <class Start, class Cancel>
OpResult RunWithDeadline(boost::asio::io_context& io, boost::asio::steady_timer& timer, Start start, Cancel cancel,
                         std::chrono::steady_clock::time_point deadline, const std::function<bool()>& interrupted) {
    OpResult result;
    bool opDone = false;
    bool timerDone = false;
    bool cancelled = false;
    start([&](const boost::system::error_code& ec, size_t n) {
        result.ec = ec;
        result.bytes = n;
        opDone = true;
        timer.cancel();
    });
    timer.expires_at(deadline);
    timer.async_wait([&](const boost::system::error_code& ec) {
        timerDone = true;
        if (!ec && !opDone) {
            result.timedOut = true;
            cancel();
        }
    });
    while (!(opDone && timerDone)) {
        if (!cancelled && interrupted && interrupted()) {
            cancelled = true;
            result.interrupted = true;
            cancel();
            timer.cancel();
        }
        if (io.stopped()) io.restart();
        io.run_one();
    }
    if ((result.timedOut || result.interrupted) && result.ec == boost::asio::error::operation_aborted) result.ec = {};
    return result;
}

}  // namespace tools

#endif
