/// @file
/// The library's version, for programs that report what they were built with and linked against.
#pragma once

namespace dv {

/// The version of the linked library, "MAJOR.MINOR.PATCH".
const char* DvEWSVersion();

/// How the linked library was built: the source revision (or "unknown"), the build type and the
/// compiler, for example "a1b2c3d RelWithDebInfo GNU 12.2.0".
const char* DvEWSBuild();

}  // namespace dv
