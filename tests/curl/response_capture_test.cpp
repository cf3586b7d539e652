// What the libcurl callbacks keep of a response: the head of the final response only, as
// received, and the body in bounded memory, handed out in order across a pause.
#include "net/curl/response_capture.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/curl/header_text.h"
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

TEST(HeaderTextTest, ValidUtf8IsDecodedAndAnyOtherByteReadAsLatin1) {
  struct Case {
    const char* name;
    std::string bytes;
    WideString text;
  };
  const Case cases[] = {
      {"ascii", "HTTP/1.1 200 OK\r\nA: b\r\n\r\n", KSRN_WIDE("HTTP/1.1 200 OK\r\nA: b\r\n\r\n")},
      {"two and three bytes",
       "Gr\xC3\xBC\xC3\x9F"
       "e \xE2\x82\xAC",
       KSRN_WIDE("Gr\u00FC\u00DFe \u20AC")},
      {"four bytes", "\xF0\x9F\x98\x80", KSRN_WIDE("\U0001F600")},
      {"stray byte",
       "A\xFF"
       "B",
       KSRN_WIDE("A\u00FFB")},
      {"Latin-1 text", "caf\xE9", KSRN_WIDE("caf\u00E9")},
      {"truncated sequence", "\xE2\x82", KSRN_WIDE("\u00E2\u0082")},
      {"overlong form", "\xC0\xAF", KSRN_WIDE("\u00C0\u00AF")},
      {"encoded surrogate", "\xED\xA0\x80", KSRN_WIDE("\u00ED\u00A0\u0080")},
      {"above U+10FFFF", "\xF4\x90\x80\x80", KSRN_WIDE("\u00F4\u0090\u0080\u0080")},
      {"valid after invalid", "\xFF\xC3\xA9", KSRN_WIDE("\u00FF\u00E9")},
      {"NUL kept", std::string("a\0b", 3), WideString(KSRN_WIDE("a\0b"), 3)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecodeHeaderBytes(c.bytes), c.text) << c.name;
  }
}

}  // namespace
}  // namespace ksrn::net::curl
