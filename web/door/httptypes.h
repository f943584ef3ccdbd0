// The HTTP messages the door reads and answers, whole and bounded in size by the connection.
#ifndef HTTPTYPES_H
#define HTTPTYPES_H

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;
using HttpResponse = boost::beast::http::response<boost::beast::http::string_body>;

#endif // HTTPTYPES_H
