// What a scripted UPnP gateway answers: its description files from the test
// data, HTTP replies and SOAP responses of the WAN IP connection service.
#pragma once

#include <string>

#include "tests/support/support.h"

namespace nettest {

inline std::string UpnpData(const std::string &name) {
    return testsupport::ReadFile(std::string(PORTICO_TEST_DATA) + "/upnp/" + name);
}

inline std::string HttpReply(int code, const std::string &body) {
    return "HTTP/1.1 " + std::to_string(code) + (code == 200 ? " OK" : " Error") +
           "\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

inline std::string SoapResponse(const std::string &action, const std::string &inner) {
    return "<?xml version=\"1.0\"?>\r\n<s:Envelope "
           "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><u:" +
           action + "Response xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1\">" + inner +
           "</u:" + action + "Response></s:Body></s:Envelope>";
}

} // namespace nettest
