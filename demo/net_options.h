// QuorviaDemo's network options (net_options.cpp).
#pragma once

#include <string>

// Runs --NetGetImg, --ServerMode or --ClientMode; false for any other option.
bool RunNetworkOption(const std::string& option);
