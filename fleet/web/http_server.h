// The HTTP side of varnel-web: Qt HTTP Server parses the requests and
// writes the responses; every request goes to the Dashboard, on the
// program's one event thread.
#pragma once

#include <QAbstractHttpServer>
#include <functional>

#include "dashboard.h"

namespace varnel::fleet::web {

class HttpServer final : public QAbstractHttpServer {
 public:
  explicit HttpServer(Dashboard& dashboard, std::function<void(const std::string&)> log = {})
      : dashboard_(dashboard), log_(std::move(log)) {}

 protected:
  bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
  void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

 private:
  Dashboard& dashboard_;
  std::function<void(const std::string&)> log_;
};

// The request as the dashboard takes it: path and query decoded.
HttpRequest RequestOf(const QHttpServerRequest& request);

}  // namespace varnel::fleet::web
