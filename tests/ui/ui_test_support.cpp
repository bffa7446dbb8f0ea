#include "ui_test_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace corvane::ui::testing {

QApplication& App() {
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (app == nullptr) std::abort();  // main() makes the application before any test runs
    return *app;
}

ScratchRoot::ScratchRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "corvane-ui-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
    if (const char* old = std::getenv("CORVANE_ROOT")) {
        previous_ = old;
        hadPrevious_ = true;
    }
    ::setenv("CORVANE_ROOT", path_.c_str(), 1);
}

ScratchRoot::~ScratchRoot() {
    if (hadPrevious_)
        ::setenv("CORVANE_ROOT", previous_.c_str(), 1);
    else
        ::unsetenv("CORVANE_ROOT");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

FakeService::FakeService() {
    status.link = platform::ServiceStatus::Link::kConnected;
    status.protection = true;
    status.attempts = 0;
    status.definitionsVersion = "104";
    status.engine = "timer";
}

void FakeService::Change(const std::function<void(platform::ServiceStatus&)>& edit) {
    edit(status);
    if (handler_) handler_();
}

const platform::ServiceStatus& FakeService::Refresh() {
    ++refreshes;
    return status;
}

platform::ServiceResult FakeService::SetProtection(bool on) {
    setRequests.push_back(on);
    if (!setAnswer.Ok()) {
        if (afterFailedSet) afterFailedSet(status);
        return setAnswer;
    }
    // The service's change report comes after its answer, through the event loop.
    QMetaObject::invokeMethod(
        &context_, [this, on] { Change([on](platform::ServiceStatus& s) { s.protection = on; }); },
        Qt::QueuedConnection);
    return setAnswer;
}

platform::ServiceResult FakeService::InstallDefinitions(int fd, std::string& version) {
    std::string bytes;
    char buffer[4096];
    for (off_t at = 0;;) {
        const ssize_t got = ::pread(fd, buffer, sizeof buffer, at);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        bytes.append(buffer, static_cast<std::size_t>(got));
        at += got;
    }
    installed.push_back(bytes);
    installedSeals.push_back(::fcntl(fd, F_GET_SEALS));
    if (installAnswer.Ok()) {
        version = bytes.size() > 1 ? bytes.substr(1, 3) : std::string();
        status.definitionsVersion = version;
    }
    return installAnswer;
}

std::unique_ptr<FakeService> UnreachableService() {
    auto service = std::make_unique<FakeService>();
    service->status.link = platform::ServiceStatus::Link::kUnreachable;
    service->status.protection = false;
    service->status.problem = "The protection service is not running.";
    service->setAnswer = {platform::ServiceResult::Code::kUnreachable, "The protection service is not running."};
    return service;
}

}  // namespace corvane::ui::testing
