#include "dfu/dfu_util.h"

#include "dfu/command.h"
#include "files/files.h"
#include "files/support_misc.h"

#include <QDebug>

namespace DFU::dfu_util {

QString const banner_0_9 = "dfu-util 0.9\n"
                           "\n"
                           "Copyright 2005-2009 Weston Schmidt, Harald Welte and OpenMoko Inc.\n"
                           "Copyright 2010-2016 Tormod Volden and Stefan Schmidt\n"
                           "This program is Free Software and has ABSOLUTELY NO WARRANTY\n"
                           "Please report bugs to http://sourceforge.net/p/dfu-util/tickets/\n"
                           "\n";

QString const banner_0_11 = "dfu-util 0.11\n"
                            "\n"
                            "Copyright 2005-2009 Weston Schmidt, Harald Welte and OpenMoko Inc.\n"
                            "Copyright 2010-2021 Tormod Volden and Stefan Schmidt\n"
                            "This program is Free Software and has ABSOLUTELY NO WARRANTY\n"
                            "Please report bugs to http://sourceforge.net/p/dfu-util/tickets/\n"
                            "\n";

#if defined(KELVORA_DFU_UTIL_RELEASE_0_9)
QString const expected_output_of_execution_test = banner_0_9;
#else
QString const expected_output_of_execution_test = banner_0_11;
#endif

QString basename() {
    return Files::dfu_util_executable_fileName;
}

QString full_path() {
    return QString("%1/%2").arg(Files::external_dir.path(), Files::dfu_util_executable_fileName);
}

bool execution_test() {
    auto const [code, raw_output] = run_command(DFU::version);
    QString output = raw_output;
    if (support_misc::compiled_for_platform(support_misc::Platform::windows))
        output = support_misc::remove_carriage_returns(output);
    bool const as_expected = output == expected_output_of_execution_test;
    QDebug line = qInfo();
    line << "Result of execution test: status was" << (code == 0 ? "ok" : "bad") << "and output:";
    if (as_expected)
        line << "as expected";
    else
        line << output;
    return code == 0 && as_expected;
}

} // namespace DFU::dfu_util
