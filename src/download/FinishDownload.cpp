// The shared ending of a download run.
#include "download/Download.h"

#include "protocols/StageFrame.h"

namespace ostra {

void FinishDownload(RunContext& run, DownloadRun& download,
                    const std::optional<DownloadFailure>& failure) {
  if (failure) {
    run.Fail(FailureKind::Unexpected, failure->description + "\r\n" + failure->source);
  }
  // Without saved settings the link is reopened as it is now.
  stage::PutLinkBack(run.state.connection, download.SavedTimeout, download.SavedBaudRate);
  download.applicationFile.reset();
}

}  // namespace ostra
