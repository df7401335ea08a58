#include <stdexcept>

#include <sys/socket.h>

#include <httplib.h>

#include "http_api.h"

namespace krthost::site {
namespace {

std::string Address(const HttpSpec& spec) {
  return spec.host.find(':') != std::string::npos ? "[" + spec.host + "]:" + std::to_string(spec.port)
                                                  : spec.host + ":" + std::to_string(spec.port);
}

}  // namespace

HttpServer::HttpServer(const HttpSpec& spec, const StatusBoard& board, const HistoryStore* store)
    : spec_(spec), api_(spec, board, store) {}

HttpServer::~HttpServer() { Stop(); }

void HttpServer::Start() {
  if (server_) throw std::runtime_error("http: already listening on " + Address(spec_));
  auto server = std::make_unique<httplib::Server>();
  server->new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  server->set_read_timeout(kReadTimeoutS, 0);
  server->set_write_timeout(kWriteTimeoutS, 0);
  server->set_keep_alive_timeout(kKeepAliveTimeoutS);
  server->set_keep_alive_max_count(kKeepAliveMaxCount);
  server->set_payload_max_length(kPayloadMax);
  // httplib's default sets SO_REUSEPORT: a second host on the same port
  // would then bind too and take part of the requests. SO_REUSEADDR alone
  // lets a restart bind while old connections linger, and nothing more.
  server->set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  });
  // Every request, of any method, is answered here before httplib's own
  // routing: HttpApi sees the raw target, not httplib's decoded path.
  server->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    HttpRequest request;
    request.method = req.method;
    const auto q = req.target.find('?');
    request.path = req.target.substr(0, q);
    if (q != std::string::npos) request.query = req.target.substr(q + 1);
    request.authorization = req.get_header_value("Authorization");
    HttpResponse response = api_.Handle(request);
    res.status = response.status;
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    if (response.content_type.rfind("text/html", 0) == 0) {
      res.set_header("Content-Security-Policy",
                     "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                     "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'");
      res.set_header("Referrer-Policy", "no-referrer");
    }
    if (response.status == 401) res.set_header("WWW-Authenticate", "Bearer realm=\"krthost\"");
    if (response.status == 405) {
      res.set_header("Allow", "GET, HEAD");
      // A body the client may still send is not read: do not reuse the line.
      res.set_header("Connection", "close");
    }
    res.set_content(std::move(response.body), response.content_type.c_str());
    return httplib::Server::HandlerResponse::Handled;
  });

  int port = -1;
  if (spec_.port == 0) {
    port = server->bind_to_any_port(spec_.host);
  } else if (server->bind_to_port(spec_.host, spec_.port)) {
    port = spec_.port;
  }
  if (port <= 0 || port > 65535)
    throw std::runtime_error("http: cannot listen on " + Address(spec_) +
                             " (address in use, not on this machine, or not allowed)");
  port_ = static_cast<std::uint16_t>(port);
  server_ = std::move(server);
  thread_ = std::thread([srv = server_.get()] { srv->listen_after_bind(); });
}

void HttpServer::Stop() {
  if (!server_) return;
  server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

}  // namespace krthost::site
