// A stand-in for ssh.exe in the wine tests (ACTIVATOR_SSH): wine cannot give
// a Linux program a Windows program's pipes, so the link's bytes go to a TCP
// port of this machine (ACTIVATOR_TEST_LINK_PORT), where
// tests/windows/remote_server.py runs the Linux activator-remote --serve on
// them. Its arguments, ssh's, are ignored. Ends as ssh does: 255 when it
// cannot connect, 0 once the other end closed.
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <cstdlib>
#include <thread>

int main() {
  const char* port = std::getenv("ACTIVATOR_TEST_LINK_PORT");
  WSADATA data;
  if (port == nullptr || ::WSAStartup(MAKEWORD(2, 2), &data) != 0) return 255;
  const SOCKET link = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = ::htons(static_cast<u_short>(std::atoi(port)));
  address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
  if (::connect(link, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 255;
  std::thread([link] {
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) &&
           got > 0)
      if (::send(link, buffer, static_cast<int>(got), 0) != static_cast<int>(got)) break;
    ::shutdown(link, SD_SEND);
  }).detach();
  char buffer[65536];
  int got = 0;
  DWORD written = 0;
  while ((got = ::recv(link, buffer, sizeof buffer, 0)) > 0)
    if (!::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), buffer, static_cast<DWORD>(got), &written,
                     nullptr))
      break;
  std::_Exit(0);
}
