// Calls run on the URL session's delivery thread for code outside the session.
#include <Orvalis/Foundation/Transport/detail/Delivery.h>
#include <Orvalis/Foundation/Transport/detail/Session.h>

#include <memory>
#include <utility>

namespace orvalis::detail {

ScheduledCall scheduleOnDeliveryThread(Clock::time_point when, std::function<void()> call) {
    auto entry = std::make_shared<ScheduledEntry>();
    entry->when = when;
    entry->call = std::move(call);
    URLSession::sharedSession();  // the session (and g_session) exists from here on
    g_session->schedule(entry);
    return ScheduledCall(std::move(entry));
}

void ScheduledCall::runNow() const {
    if (entry_ && g_session != nullptr) g_session->bringForward(*entry_);
}

void failBeforeSending(Error error, FailureCallback onFailure) {
    auto state = std::make_unique<TaskState>();
    state->refusal = std::move(error);
    state->completion = [onFailure = std::move(onFailure)](std::optional<std::string>, std::optional<HTTPURLResponse>,
                                                           std::optional<Error> refusal) {
        if (onFailure && refusal) onFailure(std::move(*refusal));
    };
    URLSession::sharedSession();  // the session (and g_session) exists from here on
    g_session->submit(std::move(state));
}

}  // namespace orvalis::detail
