#pragma once
// Every test process runs with its own XDG data, config, cache and state folders (made before
// main, removed at exit; see isolated_home.cpp), so that nothing a test starts, the tool in
// the test's own process or as a child, writes into the real user's files.
#include <QString>

namespace isolated_home {

// The folder below which the test's XDG folders lie.
QString root();
// The data folder the process would have used without the isolation.
QString real_data_home();

} // namespace isolated_home
