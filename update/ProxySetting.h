#pragma once
// How the update client reaches the server: the installation's own proxy setting in
// QVBrelmox.ini, else the user's system settings, else direct.
//
//   [Proxy]
//   Servidor=proxy.escritorio:8080   every request through that proxy
//   Servidor=direto                  never a proxy, whatever the system says
//   (absent or empty)                the user's system settings
//
// Credentials never come from this file: a proxy's sign-on uses the logged-on user's own
// (Negotiate, NTLM), or a Basic credential the office stored in the system for the proxy host.

#include <string>

#include "http/IdHTTP.h"

constexpr const char* ProxySection = "Proxy";
constexpr const char* ProxyServerKey = "Servidor";
constexpr const char* ProxyDirectValue = "direto";

// What the setting says: a list with one proxy, an empty list for direct; nothing when the
// system's settings decide (no setting, or one that names no usable proxy).
bool InstallationProxies(const std::string& setting, TIdProxyList& proxies);

// Gives the client its proxy finder for the installation whose profile file is iniPath, and
// the proxy's sign-on: asked once per check, before its first connection.
void ConfigureUpdateProxy(TIdHTTP& http, const std::string& iniPath);
