#pragma once

#include <Orvalis/ServiceModules/ZRBBaseServiceRequest.h>

#include <optional>
#include <string>

namespace orvalis {

/// Request of the pairing-ID operation (GET with the pairing transaction id and user id).
class ORVALIS_EXPORT ZRBPairingIDServiceRequest : public ZRBBaseServiceRequest {
public:
    /**@{*/
    /// The pairing transaction id, sent as "pairingTransactionId".
    const std::optional<std::string>& pairingTransactionId() const noexcept { return pairingTransactionId_; }
    void setPairingTransactionId(std::optional<std::string> value) { pairingTransactionId_ = std::move(value); }
    void setPairingTransactionId(detail::TextLike auto&& value) {
        pairingTransactionId_ = detail::optionalText(std::forward<decltype(value)>(value));
    }
    /**@}*/
    /**@{*/
    /// The user's id, sent as "userId".
    const std::optional<std::string>& userId() const noexcept { return userId_; }
    void setUserId(std::optional<std::string> value) { userId_ = std::move(value); }
    void setUserId(detail::TextLike auto&& value) {
        userId_ = detail::optionalText(std::forward<decltype(value)>(value));
    }
    /**@}*/

    /// "/quorvex/pairingid".
    std::string getRelativepath() const override;
    /// "pairingTransactionId" = pairingTransactionId, "userId" = userId; a field that is unset is left out.
    Dictionary getQueryParam() const override;

private:
    std::optional<std::string> pairingTransactionId_;
    std::optional<std::string> userId_;
};

}  // namespace orvalis
