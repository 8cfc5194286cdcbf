#pragma once

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/main_queue.h"
#include "update/alert_presenter.h"
#include "update/document_fetcher.h"
#include "update/notification_service.h"
#include "update/update_info.h"
#include "update/url_opener.h"

namespace velmora::update {

// The update document's address, set when building (VELMORA_UPDATE_URL).
const std::string& defaultUpdateURL();

// This application's information dictionary: "CFBundleName" and "CFBundleShortVersionString".
nlohmann::json mainBundleInfo();

// The services the checker reaches; none may be null.
struct UpdateCheckerServices {
  std::shared_ptr<DocumentFetcher> fetcher;
  std::shared_ptr<NotificationService> notifications;
  std::shared_ptr<AlertPresenter> alerts;
  std::shared_ptr<UrlOpener> urlOpener;
  std::shared_ptr<platform::MainQueue> mainQueue;
};

// Once per launch, reads the update document, and when it names a newer version of this
// application, posts a notification; activating it offers to open the download page.
//
// Must be owned by a std::shared_ptr (std::make_shared): pending requests keep it alive. It holds
// no state that changes after construction, so its operations may overlap on any threads.
class UpdateChecker : public NotificationDelegate,
                      public std::enable_shared_from_this<UpdateChecker> {
 public:
  // Raises std::invalid_argument when a service is missing. `infoDictionary` stands for the
  // application's information dictionary.
  explicit UpdateChecker(UpdateCheckerServices services, std::string updateURL = defaultUpdateURL(),
                         nlohmann::json infoDictionary = mainBundleInfo());

  const std::string& updateURL() const { return updateURL_; }

  // The string under `key` in the information dictionary; absent when missing or not a string.
  std::optional<std::string> bundleInfoString(const std::string& key) const;

  // Logs this application's name and version and starts reading the update document; returns at
  // once. The rest runs on the fetcher's thread: a failed read, an undecodable document, a
  // missing entry or a version that is not newer end with one log line; a newer version asks
  // for permission to notify and goes on in scheduleUpdateNotification. Main thread.
  void checkForUpdate();

  // The answer to the permission request for `info`: a refusal is logged with its error; a grant
  // schedules the "updateNotification" notification one second from now, carrying the download
  // address in its user info. A failure to schedule is logged. The permission answer's thread.
  void scheduleUpdateNotification(bool granted, const std::optional<std::string>& error,
                                  const AppUpdateInfo& info);

  // When the activated notification's user info holds a string under "downloadURL", queues
  // showUpdateAlert with it on the main queue. Calls `completionHandler` before returning, in
  // every case, without waiting for the alert. The notification service's thread.
  void didReceiveNotificationResponse(const NotificationResponse& response,
                                      std::function<void()> completionHandler) override;

  // Asks in a modal alert whether to open the download page, and opens `downloadURL` when the
  // user chose "開く" and it is an absolute http or https address. Main thread.
  void showUpdateAlert(const std::string& downloadURL);

 private:
  void handleDocument(const FetchResult& result, const std::string& name,
                      const std::string& version);

  const UpdateCheckerServices services_;
  const std::string updateURL_;
  const nlohmann::json infoDictionary_;
};

// Whether `address` may be handed to the desktop's default handler as a download page: an
// absolute http or https URL with a host. Any thread.
bool isOpenableDownloadURL(const std::string& address);

}  // namespace velmora::update
