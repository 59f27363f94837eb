#pragma once
// Learns the current package address from the redirect service.

#include "LaunchOptions.h"
#include "RedirectRequest.h"

#include "TransferSession.h"

#include <string>

#include <windows.h>

class LauncherConfig;

// Language and country of a user-interface language joined by "-" (en-US);
// "en-US" when either cannot be told.
std::wstring LocaleNameOrDefault(LANGID langId);

// Fills the parameters from the configuration, the options, the operating
// system's word size and the user-interface locale.
LaunchParameters CollectLaunchParameters(const LauncherConfig& config, const OptionMap& options);

// Asks the redirect service for the download address; empty when none could
// be learned (or the request was stopped through the limits' stop request).
std::wstring ResolveDownloadAddress(const OptionMap& options,
                                    const TransferLimits& limits = DefaultTransferLimits());
