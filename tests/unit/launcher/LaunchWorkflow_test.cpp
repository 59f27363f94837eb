// The run's own rules that need no network: how download progress maps onto
// the bar, what a command line that cannot be split gives, and a run that was
// asked to stop before it began.

#include "LaunchWorkflow.h"

#include "Util_File.h"
#include "scratch_folder.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

// Notes what the run reports; its stop request can be set up front.
class RecordingObserver : public CvCommon::RunObserver {
public:
    void OnProgress(int nPercent) override { progress.push_back(nPercent); }
    void OnFailed(ResultCode code) override { failures.push_back(code); }
    void OnDone() override { ++nDone; }
    void OnHide() override { ++nHidden; }
    const CvCommon::Synchronize::CancelSignal& Cancel() const override { return cancel; }

    std::vector<int> progress;
    std::vector<ResultCode> failures;
    int nDone = 0;
    int nHidden = 0;
    CvCommon::Synchronize::CancelSignal cancel;
};

// A configuration in a scratch folder whose package folders lie beside it.
std::wstring ScratchConfig(const testsupport::ScratchFolder& folder) {
    const std::wstring base = folder / L"base";
    const std::wstring path = folder / L"launcher.ini";
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (f) {
        const std::string text =
            "[build]\r\nlocalTempPath=" + std::string(base.begin(), base.end()) +
            "\r\n[ER]\r\nfunId=unit\r\n";
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
    return path;
}

} // namespace

TEST(LaunchWorkflow, DownloadProgressFillsTenToSeventyTruncated) {
    const struct {
        DWORD download;
        int overall;
    } cases[] = {{0, 10}, {1, 10}, {2, 11}, {50, 40}, {98, 68}, {99, 69}, {100, 70}};
    for (const auto& c : cases)
        EXPECT_EQ(LaunchWorkflow::DownloadProgressToOverall(c.download), c.overall) << c.download;
}

TEST(LaunchWorkflow, ACommandLineLongerThanThePlatformsIsRefusedBeforeAnythingHappens) {
    const testsupport::ScratchFolder folder;
    LauncherConfig config(ScratchConfig(folder));
    LaunchWorkflow workflow(config);
    RecordingObserver observer;
    const std::wstring tooLong(LaunchWorkflow::kMaxCommandLineChars + 1, L'a');
    EXPECT_EQ(workflow.Run(tooLong, observer), Result::kBadCommandLine);
    EXPECT_EQ(observer.progress, std::vector<int>{10});
    EXPECT_EQ(observer.nHidden, 0);
}

TEST(LaunchWorkflow, ARunStoppedBeforeItsFirstRequestStartsNothing) {
    const testsupport::ScratchFolder folder;
    LauncherConfig config(ScratchConfig(folder));
    LaunchWorkflow workflow(config);
    for (const wchar_t* commandLine : {L"-funid=unit", L"-s -funid=unit"}) {
        SCOPED_TRACE(commandLine);
        RecordingObserver observer;
        observer.cancel.Set();
        const DWORD dwStart = ::GetTickCount();
        EXPECT_EQ(workflow.Run(commandLine, observer), Result::kCancelled);
        // No request was sent: nothing waited for a network.
        EXPECT_LT(::GetTickCount() - dwStart, 5000u);
        EXPECT_EQ(observer.progress, std::vector<int>{10});
        EXPECT_EQ(observer.nHidden, std::wstring(commandLine).find(L"-s") == 0 ? 1 : 0);
        EXPECT_TRUE(workflow.LaunchPath().empty());
    }
}
