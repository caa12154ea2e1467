// A client of the filter's control device as an application is one: a handle opened for
// overlapped I/O on \\.\OvtsMelodixSymLk#N, requests that may stay pending, CancelIo and
// CloseHandle with requests in flight.
#ifndef OVTM_TESTS_WINE_FILTER_CLIENT_H
#define OVTM_TESTS_WINE_FILTER_CLIENT_H

#include <windows.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace ovtm::filter_test {

// One overlapped request: its buffers stay alive until it has ended.
class Request {
  public:
    Request(DWORD code, std::vector<uint8_t> input, std::vector<uint8_t> output);
    ~Request();
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    bool Issue(HANDLE handle); // false when the call failed at once (Error() says why)
    bool Pending() const { return pending_; }
    // Waits up to `ms` for the end; true once ended.
    bool Wait(DWORD ms);
    DWORD Error() const { return error_; } // ERROR_SUCCESS, or why it ended badly
    DWORD Transferred() const { return transferred_; }
    std::vector<uint8_t> Bytes() const; // the first Transferred() bytes of the output buffer
    std::vector<uint32_t> Records() const;

  private:
    DWORD code_;
    std::vector<uint8_t> input_;
    std::vector<uint8_t> output_;
    OVERLAPPED* overlapped_; // on the heap: left to the driver with the buffers if it never ends
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    bool pending_ = false;
    bool ended_ = false;
    DWORD error_ = ERROR_SUCCESS;
    DWORD transferred_ = 0;
};

class Client {
  public:
    explicit Client(int controlDevice = 1);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    DWORD OpenError() const { return openError_; }
    HANDLE Handle() const { return handle_; }

    // Starts a request; the caller keeps it until it ends.
    std::unique_ptr<Request> Start(DWORD code, std::vector<uint8_t> input = {},
                                   std::vector<uint8_t> output = {});
    std::unique_ptr<Request> StartRead(DWORD length = 200);
    // Sends a request and waits for its end (up to `ms`).
    std::unique_ptr<Request> Call(DWORD code, std::vector<uint8_t> input = {},
                                  std::vector<uint8_t> output = {}, DWORD ms = 5000);
    bool CancelIo();
    void Close();

  private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    DWORD openError_ = ERROR_SUCCESS;
};

// Reads whole records until `count` arrived or `ms` passed.
std::vector<uint32_t> ReadRecords(Client& client, size_t count, DWORD ms = 3000);

} // namespace ovtm::filter_test

#endif
