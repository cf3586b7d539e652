// What the libcurl callbacks keep of a response: the head of the final response only, as
// received, and the body in bounded memory, handed out in order across a pause.
#include "net/curl/response_capture.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32_errors.h"

namespace ksrn::net::curl {
namespace {

size_t Head(ResponseCapture& capture, std::string line) {
  return ResponseCapture::OnHeader(line.data(), 1, line.size(), &capture);
}

size_t Body(ResponseCapture& capture, std::string bytes) {
  return ResponseCapture::OnBody(bytes.data(), 1, bytes.size(), &capture);
}

TEST(ResponseCaptureTest, KeepsOnlyTheFinalHeadAndNoTrailers) {
  ResponseCapture capture;
  for (const char* line : {"HTTP/1.1 100 Continue\r\n", "\r\n", "HTTP/1.1 103 Early Hints\r\n",
                           "Link: </a>\r\n", "\r\n"}) {
    EXPECT_EQ(Head(capture, line), std::string(line).size());
    EXPECT_FALSE(capture.IsHeadComplete()) << "an interim head is not the response";
  }
  for (const char* line : {"HTTP/1.1 404 Not Found\r\n", "X-A: 1\r\n", "\r\n"}) {
    Head(capture, line);
  }
  EXPECT_TRUE(capture.IsHeadComplete());
  EXPECT_EQ(capture.StatusCode(), 404u);
  Head(capture, "X-Trailer: late\r\n");
  EXPECT_EQ(capture.Head(), "HTTP/1.1 404 Not Found\r\nX-A: 1\r\n\r\n");
  EXPECT_EQ(capture.StopReason(), kErrorSuccess);
}

TEST(ResponseCaptureTest, AHeadOverTheLimitStopsTheTransfer) {
  ResponseCapture capture;
  Head(capture, "HTTP/1.1 200 OK\r\n");
  const std::string filler = "X-Fill: " + std::string(1000, 'x') + "\r\n";
  size_t accepted = 0;
  while (Head(capture, filler) == filler.size()) {
    accepted += filler.size();
  }
  EXPECT_LE(accepted, ResponseCapture::kHeadLimitBytes);
  EXPECT_GT(accepted + 2 * filler.size(), ResponseCapture::kHeadLimitBytes);
  EXPECT_EQ(capture.StopReason(), kErrorWinhttpHeaderSizeOverflow);
  EXPECT_FALSE(capture.IsHeadComplete());
}

TEST(ResponseCaptureTest, BodyIsHeldBackWhenTheReaderLagsAndHandedOutInOrder) {
  ResponseCapture capture;
  std::string sent;
  const std::string chunk(16 * 1024, 'a');
  for (char fill = 'a'; Body(capture, std::string(chunk.size(), fill)) == chunk.size(); ++fill) {
    sent += std::string(chunk.size(), fill);
  }
  EXPECT_EQ(capture.PendingBytes(), sent.size()) << "a paused chunk is not taken";
  EXPECT_GE(sent.size(), ResponseCapture::kPauseAtBytes);
  EXPECT_LT(sent.size(), ResponseCapture::kPauseAtBytes + chunk.size());
  EXPECT_FALSE(capture.ShouldResume()) << "nothing taken yet";

  std::string received(sent.size(), '\0');
  size_t at = 0;
  while (!capture.ShouldResume()) {
    at += capture.Take(received.data() + at, 10000);
  }
  EXPECT_LT(capture.PendingBytes(), ResponseCapture::kResumeBelowBytes);
  EXPECT_FALSE(capture.ShouldResume()) << "resumed once";
  EXPECT_EQ(Body(capture, "tail"), 4u);
  sent += "tail";
  received.resize(sent.size());
  while (capture.PendingBytes() > 0) {
    at += capture.Take(received.data() + at, 7000);
  }
  EXPECT_EQ(received, sent);
  EXPECT_EQ(capture.Take(received.data(), 10), 0u);
}

}  // namespace
}  // namespace ksrn::net::curl
