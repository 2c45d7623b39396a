#pragma once

#include <Orvalis/Foundation/URLSession.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace orvalis::transporttest {

/// What one data task reported, and how often it reported.
struct Outcome {
    std::optional<std::string> data;
    std::optional<HTTPURLResponse> response;
    std::optional<Error> error;
    std::thread::id thread;
    std::shared_ptr<std::atomic<int>> calls = std::make_shared<std::atomic<int>>(0);

    std::string errorText() const { return error ? error->description() : std::string("no error"); }
};

/// Starts a task for request and returns a future of its outcome.
inline std::future<Outcome> start(const URLRequest& request) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    auto calls = std::make_shared<std::atomic<int>>(0);
    std::future<Outcome> future = promise->get_future();
    URLSession::sharedSession()
        .dataTaskWithRequest(request,
                             [promise, calls](std::optional<std::string> data, std::optional<HTTPURLResponse> response,
                                              std::optional<Error> error) {
                                 if (calls->fetch_add(1) != 0) return;
                                 Outcome o;
                                 o.data = std::move(data);
                                 o.response = std::move(response);
                                 o.error = std::move(error);
                                 o.thread = std::this_thread::get_id();
                                 o.calls = calls;
                                 promise->set_value(std::move(o));
                             })
        .resume();
    return future;
}

/// Runs request to its end (bounded wait; a missing completion fails the test as no error and no data).
inline Outcome fetch(const URLRequest& request, std::chrono::seconds limit = std::chrono::seconds(30)) {
    std::future<Outcome> f = start(request);
    if (f.wait_for(limit) != std::future_status::ready) {
        Outcome none;
        none.error = Error::withDescription("test", 0, "no completion within the time limit");
        return none;
    }
    return f.get();
}

inline URLRequest get(const std::string& url, double timeout = 10.0) {
    URLRequest r(url, URLRequestReloadIgnoringLocalCacheData, timeout);
    r.setHTTPMethod("GET");
    return r;
}

}  // namespace orvalis::transporttest
