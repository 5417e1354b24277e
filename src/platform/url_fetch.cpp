#include "platform/url_fetch.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <memory>

namespace halvorn::platform {

namespace {

QNetworkAccessManager& Manager() {
  static QNetworkAccessManager* manager = new QNetworkAccessManager();
  return *manager;
}

}  // namespace

void FetchUrl(const std::string& url, const std::string& userAgent, std::int64_t maxBytes,
              int timeoutMs, std::function<void(UrlFetchResult)> done) {
  QUrl qurl(QString::fromStdString(url));
  const QString scheme = qurl.scheme().toLower();
  if (!qurl.isValid() || (scheme != "http" && scheme != "https")) {
    UrlFetchResult result;
    result.Error = "Only http and https URLs are fetched";
    QTimer::singleShot(0, QCoreApplication::instance(),
                       [done = std::move(done), result] { done(result); });
    return;
  }
  QNetworkRequest request(qurl);
  request.setHeader(QNetworkRequest::UserAgentHeader, QString::fromStdString(userAgent));
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::NoLessSafeRedirectPolicy);
  request.setTransferTimeout(timeoutMs);
  QNetworkReply* reply = Manager().get(request);
  auto body = std::make_shared<QByteArray>();
  auto finished = std::make_shared<bool>(false);
  auto callback = std::make_shared<std::function<void(UrlFetchResult)>>(std::move(done));
  auto finish = [reply, finished, callback](UrlFetchResult result) {
    if (*finished) return;
    *finished = true;
    reply->deleteLater();
    (*callback)(std::move(result));
  };
  QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, body, maxBytes, finish] {
    body->append(reply->readAll());
    if (body->size() > maxBytes) {
      UrlFetchResult result;
      result.Error = "The content exceeds " + std::to_string(maxBytes) + " bytes";
      reply->abort();
      finish(result);
    }
  });
  QObject::connect(reply, &QNetworkReply::finished, reply, [reply, body, maxBytes, finish] {
    UrlFetchResult result;
    body->append(reply->readAll());
    if (reply->error() != QNetworkReply::NoError) {
      result.Error = reply->errorString().toStdString();
    } else if (body->size() > maxBytes) {
      result.Error = "The content exceeds " + std::to_string(maxBytes) + " bytes";
    } else {
      result.Ok = true;
      result.Bytes.assign(body->constData(), static_cast<std::size_t>(body->size()));
    }
    finish(result);
  });
  // The transfer time-out counts silence only; this bounds the whole fetch.
  QTimer::singleShot(timeoutMs, reply, [reply, finish] {
    UrlFetchResult result;
    result.Error = "The fetch took too long";
    reply->abort();
    finish(result);
  });
}

bool RunEventsUntil(const std::function<bool()>& condition, int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (!condition()) {
    if (timer.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

}  // namespace halvorn::platform
