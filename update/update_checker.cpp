#include "update/update_checker.h"

#include <stdexcept>
#include <utility>

#include "platform/console.h"
#include "platform/url.h"
#include "velmora/version.h"

#ifndef VELMORA_UPDATE_URL
#error "VELMORA_UPDATE_URL must be defined by the build"
#endif

namespace velmora::update {

namespace {

constexpr const char* kBundleNameKey = "CFBundleName";
constexpr const char* kBundleVersionKey = "CFBundleShortVersionString";
constexpr const char* kNotificationIdentifier = "updateNotification";

UpdateCheckerServices checked(UpdateCheckerServices services) {
  if (!services.fetcher || !services.notifications || !services.alerts || !services.urlOpener ||
      !services.mainQueue) {
    throw std::invalid_argument("UpdateChecker needs every service");
  }
  return services;
}

}  // namespace

const std::string& defaultUpdateURL() {
  static const std::string url = VELMORA_UPDATE_URL;
  return url;
}

nlohmann::json mainBundleInfo() {
  return {{kBundleNameKey, kApplicationName}, {kBundleVersionKey, kApplicationVersion}};
}

bool isOpenableDownloadURL(const std::string& address) {
  // The address comes from a document on the network: anything but a web page (file:, a custom
  // scheme) could make the default handler run something.
  const auto url = platform::tryParseUrl(address);
  return url && (url->scheme == "http" || url->scheme == "https") && !url->host.empty();
}

UpdateChecker::UpdateChecker(UpdateCheckerServices services, std::string updateURL,
                             nlohmann::json infoDictionary)
    : services_(checked(std::move(services))),
      updateURL_(std::move(updateURL)),
      infoDictionary_(std::move(infoDictionary)) {}

std::optional<std::string> UpdateChecker::bundleInfoString(const std::string& key) const {
  if (!infoDictionary_.is_object()) return std::nullopt;
  const auto value = infoDictionary_.find(key);
  if (value == infoDictionary_.end() || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

void UpdateChecker::checkForUpdate() {
  const auto name = bundleInfoString(kBundleNameKey);
  const auto version = bundleInfoString(kBundleVersionKey);
  if (!name || !version) {
    platform::printLine("アプリ名またはバージョン番号の取得に失敗しました。");
    return;
  }
  platform::printLine(*name);
  platform::printLine(*version);

  services_.fetcher->get(updateURL_,
                         [self = shared_from_this(), name = *name, version = *version](
                             FetchResult result) { self->handleDocument(result, name, version); });
}

void UpdateChecker::handleDocument(const FetchResult& result, const std::string& name,
                                   const std::string& version) {
  // The status is not looked at: an error page that decodes is still a document.
  if (result.error || !result.body) {
    platform::printLine("アップデート情報の取得エラー: " + result.error.value_or("不明なエラー"));
    return;
  }
  const auto map = decodeUpdateInfo(*result.body);
  if (!map) return;

  const auto entry = map->find(name);
  if (entry == map->end()) {
    platform::printLine("JSONに" + name + "の更新情報が見つかりませんでした。");
    return;
  }
  if (!isNewerVersion(entry->second.latestVersion, version)) {
    platform::printLine("アプリは最新の状態です。");
    return;
  }
  services_.notifications->requestAuthorization(
      AuthorizationOption::alert | AuthorizationOption::sound,
      [self = shared_from_this(), info = entry->second](bool granted,
                                                        std::optional<std::string> error) {
        self->scheduleUpdateNotification(granted, error, info);
      });
}

void UpdateChecker::scheduleUpdateNotification(bool granted,
                                               const std::optional<std::string>& error,
                                               const AppUpdateInfo& info) {
  if (!granted) {
    platform::printLine("通知の許可が得られませんでした: " + error.value_or("エラー不明"));
    return;
  }
  NotificationRequest request;
  request.identifier = kNotificationIdentifier;
  request.content.title = "アップデートのお知らせ";
  request.content.body = "新しいバージョン " + info.latestVersion +
                         " が利用可能です。タップして詳細を確認してください。";
  request.content.userInfo = {
      {std::string(stringValue(CodingKeys::downloadURL)), info.downloadURL}};
  request.trigger.timeInterval = std::chrono::duration<double>(1.0);
  request.trigger.repeats = false;

  services_.notifications->add(std::move(request), [](std::optional<std::string> addError) {
    if (addError) platform::printLine("通知のスケジュールに失敗: " + *addError);
  });
}

void UpdateChecker::didReceiveNotificationResponse(const NotificationResponse& response,
                                                   std::function<void()> completionHandler) {
  try {
    const auto& userInfo = response.request.content.userInfo;
    if (userInfo.is_object()) {
      const auto downloadURL = userInfo.find(std::string(stringValue(CodingKeys::downloadURL)));
      if (downloadURL != userInfo.end() && downloadURL->is_string()) {
        services_.mainQueue->async(
            [self = shared_from_this(), address = downloadURL->get<std::string>()] {
              self->showUpdateAlert(address);
            });
      }
    }
  } catch (...) {
    // The service waits for the handler whatever happened here.
    if (completionHandler) completionHandler();
    throw;
  }
  if (completionHandler) completionHandler();
}

void UpdateChecker::showUpdateAlert(const std::string& downloadURL) {
  const Alert alert{
      "アップデート確認",
      "新しいバージョンが利用可能です。ダウンロードページを開きますか？",
      {"開く", "キャンセル"},
  };
  const auto answer = services_.alerts->runModal(alert);
  if (answer == std::size_t{0} && isOpenableDownloadURL(downloadURL))
    services_.urlOpener->open(downloadURL);
}

}  // namespace velmora::update
