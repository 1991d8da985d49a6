// The shared ending of a download run.
#include "download/Download.h"

#include "protocols/StageFrame.h"

namespace ostra {

void FinishDownload(LoaderState& state, FrontEnd& window, DownloadRun& run,
                    const std::optional<DownloadFailure>& failure) {
  if (failure) {
    window.ShowMessage(failure->description + "\r\n" + failure->source, MessageIcon::Warning);
  }
  VrConnection& connection = state.connection;
  // Without saved settings the link is reopened as it is now.
  if (run.SavedTimeout) connection.SetTimeoutValue(*run.SavedTimeout);
  connection.SetTimeout();
  connection.Disconnect();
  if (run.SavedBaudRate) connection.SetBaudRate(*run.SavedBaudRate);
  connection.Connect();
  run.applicationFile.reset();
  stage::GiveBackWindow(window);
}

}  // namespace ostra
