// Shared enumerations and the engine's exception.
#pragma once

#include <cstdint>
#include <stdexcept>

namespace quillet::xmpp {

class EXMPPException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum TXMPPShowType {
  xswUnavailable,
  xswAvailable,
  xswChat,
  xswDnD,
  xswAway,
  xswXa,
  xswError,
  xswUnknown
};
enum TXMPPSubscription { xsNone, xsTo, xsFrom, xsBoth, xsRemove, xsUnknown };
enum TChatStates { csNone, csActive, csComposing, csPaused, csInactive, csGone };
enum TSSLMode { smNone, smWhenPossible, smRequired };
// SCRAM is preferred over DIGEST-MD5 when offered: it never sends the password and proves
// the server knows it.
enum TXMPPAuthModes { amNone, amPlain, amNonSasl, amDigestMD5, amScramSha1, amScramSha256 };
enum TTransferOption { toIBB, toOBB, toSOCKS5, toJingle };

// Set of TXMPPAuthModes.
using TXMPPAuthModeSet = uint32_t;
constexpr TXMPPAuthModeSet ModeBit(TXMPPAuthModes m) {
  return 1u << m;
}

}  // namespace quillet::xmpp
