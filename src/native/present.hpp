// Credential presentation: loading the agent's own credential and
// wrapping it for x402 requests and A2A messages.
#pragma once
#include "function.hpp"

namespace qt::present {

extern const FunctionDef load_credential;
extern const FunctionDef x402_headers;
extern const FunctionDef a2a_message_metadata;

}  // namespace qt::present
