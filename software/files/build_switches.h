#pragma once

// Switches that differ between builds of the tool, beside the other build helpers.

// A service build may also upgrade units whose product identification (OTP) is blank; this
// build refuses them.
constexpr bool have_service_build() {
    return false;
}
