#include "http_server.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QMetaEnum>
#include <QUrlQuery>

namespace varnel::fleet::web {

HttpRequest RequestOf(const QHttpServerRequest& request) {
  HttpRequest r;
  const QMetaEnum methods = QMetaEnum::fromType<QHttpServerRequest::Method>();
  r.method = QByteArray(methods.valueToKey(static_cast<int>(request.method()))).toUpper().toStdString();
  r.path = request.url().path(QUrl::FullyDecoded).toStdString();
  // Form values come with '+' for a blank.
  QString query = request.url().query(QUrl::FullyEncoded);
  query.replace('+', "%20");
  for (const auto& [key, value] : QUrlQuery(query).queryItems(QUrl::FullyDecoded))
    r.query.emplace_back(key.toStdString(), value.toStdString());
  for (const auto& [name, value] : request.headers()) r.headers[name.toLower().toStdString()] = value.toStdString();
  // A form's fields (application/x-www-form-urlencoded); bounded by the
  // server's own limit on a request.
  r.body = request.body().toStdString();
  return r;
}

bool HttpServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
  const HttpResponse response = dashboard_.Handle(RequestOf(request));
  QHttpServerResponder responder = makeResponder(request, socket);
  responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(response.status));
  responder.writeHeader("Content-Type", QByteArray::fromStdString(response.contentType));
  responder.writeHeader("Content-Length", QByteArray::number(static_cast<qsizetype>(response.body.size())));
  for (const auto& [name, value] : response.headers)
    responder.writeHeader(QByteArray::fromStdString(name), QByteArray::fromStdString(value));
  if (request.method() != QHttpServerRequest::Method::Head) responder.writeBody(QByteArray::fromStdString(response.body));
  else responder.writeBody(QByteArray());
  return true;
}

void HttpServer::missingHandler(const QHttpServerRequest&, QTcpSocket*) {}

}  // namespace varnel::fleet::web
