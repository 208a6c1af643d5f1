#pragma once

#include <QObject>
#include <QString>

// Re-emits the worker's reports on the GUI thread. Its connections to the worker are made
// once and never undone, so every report is queued, whichever state the flow machine is in
// when the worker emits it. The machine's transitions listen to the relay: a report is then
// judged against the state the machine is in when the report is handled, in emission order,
// and none is lost while the GUI thread lags behind the worker.
class WorkerRelay : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

signals:
    void sig_NoDevConn();
    void sig_DevConn();
    void sig_FwUploadedDiffers();
    void sig_FwUploadedMatches();
    void sig_FwDownloadResult(int code, bool all_sent);
    void sig_FwUploadCut();
};
