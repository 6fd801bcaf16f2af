// The asynchronous socket and the UDP sender on the simulated loop.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "SimLoop.h"
#include "WSocket.h"

namespace {

using plat::SocketState;

class WSocketTest : public ::testing::Test {
protected:
  // Records every event the socket raises, in order.
  void BindAll() {
    s.OnSessionConnected = [this](uint16_t code) {
      events.push_back("connected " + std::to_string(code));
    };
    s.OnDataAvailable = [this](uint16_t code) {
      events.push_back("data " + std::to_string(code) + " count " + std::to_string(s.RcvdCount()));
    };
    s.OnDnsLookupDone = [this](uint16_t code) { events.push_back("dns " + std::to_string(code)); };
    s.OnError = [this] { events.push_back("error " + std::to_string(s.LastError())); };
    s.OnBgException = [this](const std::exception& e, bool& canClose) {
      events.push_back(std::string("bg ") + e.what() + (canClose ? " canClose" : ""));
    };
  }
  // A TCP connection to 192.0.2.1:900 that has been accepted.
  std::shared_ptr<sim::SimStream> Connected() {
    s.SetAddr("192.0.2.1");
    s.SetPort("900");
    s.Connect();
    auto stream = loop.LastStream();
    loop.CompleteConnect(stream, 0);
    loop.RunDue();
    events.clear();
    return stream;
  }
  std::string ReadAll() {
    std::string out(size_t(s.RcvdCount()), '\0');
    const int n = s.Receive(out.data(), int(out.size()));
    out.resize(n > 0 ? size_t(n) : 0);
    return out;
  }

  sim::SimLoop loop;
  plat::WSocket s{loop};
  std::vector<std::string> events;
};

TEST_F(WSocketTest, ConnectOpensAStreamToTheAddressAndPort) {
  BindAll();
  EXPECT_EQ(s.Proto(), "tcp");
  s.SetAddr("192.0.2.10");
  s.SetPort("900");
  s.Connect();
  ASSERT_EQ(loop.Streams().size(), 1u);
  auto stream = loop.LastStream();
  EXPECT_TRUE(stream->connectCalled);
  EXPECT_EQ(stream->addr, "192.0.2.10");
  EXPECT_EQ(stream->port, 900);
  EXPECT_EQ(s.State(), SocketState::Connecting);
  EXPECT_TRUE(events.empty());  // completion comes only as a loop event

  loop.CompleteConnect(stream, 0, 20);
  loop.Advance(20);
  EXPECT_EQ(s.State(), SocketState::Connected);
  EXPECT_EQ(events, std::vector<std::string>{"connected 0"});
}

TEST_F(WSocketTest, AFailedConnectionReportsANonZeroCodeAndCloses) {
  struct Case {
    int err;
    uint16_t code;
  };
  const Case cases[] = {
      {ECONNREFUSED, 10061}, {-ECONNREFUSED, 10061}, {ETIMEDOUT, 10060}, {EHOSTUNREACH, 10065},
      {ENETUNREACH, 10051},  {EIO, uint16_t(EIO)},   {0x10000, 0xFFFF},       {EACCES, 10013}, {EPERM, 10013},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.err);
    sim::SimLoop loop;
    plat::WSocket s(loop);
    std::vector<uint16_t> codes;
    s.OnSessionConnected = [&](uint16_t code) {
      EXPECT_EQ(s.State(), SocketState::Closed);
      codes.push_back(code);
    };
    s.SetAddr("192.0.2.10");
    s.SetPort("900");
    s.Connect();
    auto stream = loop.LastStream();
    loop.CompleteConnect(stream, c.err);
    loop.Deliver(stream, "late");
    loop.RunDue();
    EXPECT_EQ(codes, std::vector<uint16_t>{c.code});
    EXPECT_TRUE(stream->closed);
    EXPECT_EQ(s.RcvdCount(), 0);
    // The socket can be used again at once.
    s.Connect();
    EXPECT_EQ(s.State(), SocketState::Connecting);
    EXPECT_EQ(loop.Streams().size(), 2u);
  }
}

// A connect that gets no answer is given up as timed out at 21 s to the
// millisecond, once, with its stream let go. Whatever ends it first, its
// time-out never comes, and nothing waits any more unless a new connect does.
TEST_F(WSocketTest, NoTimeOutOnceTheConnectHasEnded) {
  struct Case {
    const char* name;
    std::function<void(sim::SimLoop&, plat::WSocket&)> at100ms;
    int64_t waiting;  // right after: ms until the next countdown ends, -1 for none
    std::vector<std::string> events;
    SocketState left;
  };
  const Case cases[] = {
      {"unanswered", [](sim::SimLoop&, plat::WSocket&) {}, 20900, {"10060 at 21000"}, SocketState::Closed},
      {"accepted", [](sim::SimLoop& l, plat::WSocket&) { l.CompleteConnect(l.LastStream(), 0); }, -1,
       {"0 at 100"}, SocketState::Connected},
      {"refused", [](sim::SimLoop& l, plat::WSocket&) { l.CompleteConnect(l.LastStream(), ECONNREFUSED); }, -1,
       {"10061 at 100"}, SocketState::Closed},
      {"closed", [](sim::SimLoop&, plat::WSocket& w) { w.Close(); }, -1, {}, SocketState::Closed},
      {"closed and connected anew",
       [](sim::SimLoop&, plat::WSocket& w) {
         w.Close();
         w.Connect();
       },
       21000, {"10060 at 21100"}, SocketState::Closed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimLoop loop;
    plat::WSocket w(loop);
    std::vector<std::string> seen;
    w.OnSessionConnected = [&](uint16_t code) {
      seen.push_back(std::to_string(code) + " at " + std::to_string(loop.Now()));
    };
    w.SetAddr("192.0.2.1");
    w.SetPort("900");
    w.Connect();
    loop.Advance(100);
    c.at100ms(loop, w);
    loop.RunDue();
    EXPECT_EQ(loop.NextDue(), c.waiting);
    loop.Advance(60000);
    EXPECT_EQ(seen, c.events);
    EXPECT_EQ(w.State(), c.left);
    EXPECT_EQ(loop.LastStream()->closed, c.left == SocketState::Closed);
    EXPECT_EQ(loop.NextDue(), -1);
  }
}

// Every property change while not closed, with and without OnError bound.
TEST_F(WSocketTest, APropertyChangeIsRefusedUnlessClosed) {
  struct Setter {
    const char* name;
    std::function<void(plat::WSocket&)> set;
  };
  const Setter setters[] = {
      {"Proto", [](plat::WSocket& w) { w.SetProto("udp"); }},
      {"Proto same value", [](plat::WSocket& w) { w.SetProto("tcp"); }},
      {"Addr", [](plat::WSocket& w) { w.SetAddr("198.51.100.1"); }},
      {"Port", [](plat::WSocket& w) { w.SetPort("80"); }},
  };
  for (const bool accepted : {false, true}) {
    for (const Setter& setter : setters) {
      for (const bool withOnError : {true, false}) {
        SCOPED_TRACE(std::string(setter.name) + (accepted ? " connected" : " connecting") +
                     (withOnError ? " OnError" : " no OnError"));
        sim::SimLoop loop;
        plat::WSocket w(loop);
        int errors = 0;
        if (withOnError) w.OnError = [&] { ++errors; };
        w.SetAddr("192.0.2.1");
        w.SetPort("900");
        w.Connect();
        if (accepted) {
          loop.CompleteConnect(loop.LastStream(), 0);
          loop.RunDue();
        }
        const SocketState before = w.State();
        if (withOnError) {
          EXPECT_NO_THROW(setter.set(w));
          EXPECT_EQ(errors, 1);
          EXPECT_NE(w.LastError(), 0);
        } else {
          EXPECT_THROW(setter.set(w), plat::SocketError);
        }
        EXPECT_EQ(w.Proto(), "tcp");
        EXPECT_EQ(w.Addr(), "192.0.2.1");
        EXPECT_EQ(w.Port(), "900");
        EXPECT_EQ(w.State(), before);
        EXPECT_FALSE(loop.LastStream()->closed);
      }
    }
  }
}

TEST_F(WSocketTest, ConnectWhileNotClosedIsRefused) {
  int errors = 0;
  s.OnError = [&] { ++errors; };
  Connected();
  s.Connect();
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(s.State(), SocketState::Connected);
  EXPECT_EQ(loop.Streams().size(), 1u);
}

// Server addresses pass the engine's shape test with leading zeros; the socket
// takes them as the classic socket library did.
TEST_F(WSocketTest, AddressesWithLeadingZerosConnect) {
  for (const char* addr : {"010.1.2.3", "01.002.3.4", "127.000.000.021"}) {
    sim::SimLoop loop;
    plat::WSocket w(loop);
    int errors = 0;
    w.OnError = [&] { ++errors; };
    w.SetAddr(addr);
    w.SetPort("900");
    w.Connect();
    EXPECT_EQ(errors, 0) << addr;
    ASSERT_NE(loop.LastStream(), nullptr) << addr;
    EXPECT_EQ(loop.LastStream()->addr, addr);
    EXPECT_EQ(w.State(), plat::SocketState::Connecting) << addr;
  }
}

// A connect that cannot be set up: one error event during the call, closed after.
TEST_F(WSocketTest, AConnectThatCannotBeSetUpIsReportedOnce) {
  struct Case {
    const char* addr;
    const char* port;
    int setupError;
    size_t streams;  // streams created by the attempt
  };
  const Case cases[] = {
      {"999.1.1.1", "900", 0, 0},    {"1.2.3.4.5", "900", 0, 0},
      {"host.example", "900", 0, 0}, {"", "900", 0, 0},
      {"192.0.2.1", "0", 0, 0},      {"192.0.2.1", "65536", 0, 0},
      {"192.0.2.1", "80a", 0, 0},    {"192.0.2.1", "", 0, 0},
      {"192.0.2.1", "-1", 0, 0},     {"192.0.2.1", "900", EMFILE, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.addr) + ":" + c.port);
    for (const bool withOnError : {true, false}) {
      sim::SimLoop loop;
      loop.connectSetupError = c.setupError;
      plat::WSocket w(loop);
      int errors = 0;
      std::vector<uint16_t> connected;
      if (withOnError) w.OnError = [&] { ++errors; };
      w.OnSessionConnected = [&](uint16_t code) { connected.push_back(code); };
      w.SetAddr(c.addr);
      w.SetPort(c.port);
      if (withOnError) {
        EXPECT_NO_THROW(w.Connect());
        EXPECT_EQ(errors, 1);
        EXPECT_NE(w.LastError(), 0);
      } else {
        EXPECT_THROW(w.Connect(), plat::SocketError);
      }
      EXPECT_EQ(w.State(), SocketState::Closed);
      ASSERT_EQ(loop.Streams().size(), c.streams);
      if (c.streams) {
        EXPECT_TRUE(loop.LastStream()->closed);
      }
      loop.Advance(1000);
      EXPECT_TRUE(connected.empty());
      EXPECT_EQ(errors, withOnError ? 1 : 0);
    }
  }
}

TEST_F(WSocketTest, SendStrWritesTheBytesAndCountsThem) {
  auto stream = Connected();
  const std::string bytes("GET\0\xff\r\n", 7);
  EXPECT_EQ(s.SendStr(bytes), 7);
  EXPECT_EQ(s.SendStr("x"), 1);
  EXPECT_EQ(stream->written, bytes + "x");
}

TEST_F(WSocketTest, AFailedWriteIsAnErrorEventAndMinusOne) {
  BindAll();
  auto stream = Connected();
  loop.writeError = EPIPE;
  EXPECT_EQ(s.SendStr("abc"), -1);
  EXPECT_EQ(events, std::vector<std::string>{"error " + std::to_string(EPIPE)});
  EXPECT_EQ(stream->written, "");
}

TEST_F(WSocketTest, SendingWhileNotConnectedFailsWithoutAnEvent) {
  BindAll();
  EXPECT_EQ(s.SendStr("abc"), -1);
  s.SetAddr("192.0.2.1");
  s.SetPort("900");
  s.Connect();
  EXPECT_EQ(s.SendStr("abc"), -1);
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(loop.LastStream()->written, "");
}

TEST_F(WSocketTest, DataAccumulatesUntilOneReceiveTakesIt) {
  BindAll();
  auto stream = Connected();
  loop.Deliver(stream, "IP:1.2");
  loop.Deliver(stream, std::string(".3.4\0x", 6), 5);
  loop.Advance(5);
  EXPECT_EQ(events, (std::vector<std::string>{"data 0 count 6", "data 0 count 12"}));
  char buf[32];
  EXPECT_EQ(s.Receive(buf, 32), 12);
  EXPECT_EQ(std::string(buf, 12), std::string("IP:1.2.3.4\0x", 12));
  EXPECT_EQ(s.RcvdCount(), 0);
  EXPECT_EQ(s.Receive(buf, 32), -1);
}

TEST_F(WSocketTest, ReceiveTakesAtMostTheBytesAskedFor) {
  auto stream = Connected();
  loop.Deliver(stream, "abcdef");
  loop.RunDue();
  char buf[8] = {};
  EXPECT_EQ(s.Receive(buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "abcd");
  EXPECT_EQ(s.RcvdCount(), 2);
  EXPECT_EQ(s.Receive(buf, 0), 0);
  EXPECT_EQ(s.Receive(buf, 8), 2);
  EXPECT_EQ(std::string(buf, 2), "ef");
}

TEST_F(WSocketTest, ClosingInsideTheDataEventIsSafe) {
  auto stream = Connected();
  std::vector<std::string> replies;
  s.OnDataAvailable = [&](uint16_t) {
    replies.push_back(ReadAll());
    s.Close();
    EXPECT_EQ(s.State(), SocketState::Closed);
  };
  loop.Deliver(stream, "first");
  loop.Deliver(stream, "second");
  loop.PeerClose(stream);
  loop.RunDue();
  EXPECT_EQ(replies, std::vector<std::string>{"first"});
  EXPECT_TRUE(stream->closed);
  EXPECT_EQ(s.RcvdCount(), 0);
}

TEST_F(WSocketTest, APeerCloseLeavesUnreadBytesReadable) {
  auto stream = Connected();
  loop.Deliver(stream, "tail");
  loop.PeerClose(stream);
  loop.RunDue();
  EXPECT_EQ(s.State(), SocketState::Closed);
  EXPECT_TRUE(stream->closed);
  EXPECT_EQ(ReadAll(), "tail");
}

TEST_F(WSocketTest, ANewConnectionStartsWithNothingToRead) {
  auto first = Connected();
  loop.Deliver(first, "old");
  loop.PeerClose(first);
  loop.RunDue();
  ASSERT_EQ(s.RcvdCount(), 3);
  s.Connect();
  EXPECT_EQ(s.RcvdCount(), 0);
  auto second = loop.LastStream();
  loop.CompleteConnect(second, 0);
  loop.Deliver(second, "new");
  loop.RunDue();
  EXPECT_EQ(ReadAll(), "new");
}

TEST_F(WSocketTest, CloseWhileConnectingDropsTheCompletion) {
  BindAll();
  s.SetAddr("192.0.2.1");
  s.SetPort("900");
  s.Connect();
  auto stream = loop.LastStream();
  loop.CompleteConnect(stream, 0, 10);
  s.Close();
  EXPECT_EQ(s.State(), SocketState::Closed);
  EXPECT_TRUE(stream->closed);
  loop.Advance(10);
  EXPECT_TRUE(events.empty());
  s.SetAddr("192.0.2.2");  // closed again: accepted
  EXPECT_EQ(s.Addr(), "192.0.2.2");
}

TEST_F(WSocketTest, AnErrorEscapingTheDataEventGoesToBgExceptionThenAborts) {
  BindAll();
  auto stream = Connected();
  s.DnsLookup("pending.example");
  auto lookup = loop.LastLookup();
  int calls = 0;
  s.OnDataAvailable = [&](uint16_t) {
    ++calls;
    throw std::runtime_error("bad reply");
  };
  loop.Deliver(stream, "one");
  loop.Deliver(stream, "two");
  loop.RunDue();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(events, std::vector<std::string>{"bg bad reply canClose"});
  EXPECT_EQ(s.State(), SocketState::Closed);
  EXPECT_TRUE(stream->closed);
  EXPECT_EQ(s.RcvdCount(), 0);
  // The look-up went with the connection.
  loop.Answer(lookup, 0, {"192.0.2.1"});
  loop.RunDue();
  EXPECT_EQ(events.size(), 1u);
  EXPECT_TRUE(s.DnsResultList().empty());
  // The socket is closed, so it may be set up again.
  s.SetPort("80");
  EXPECT_EQ(s.Port(), "80");
}

TEST_F(WSocketTest, ClearingCanCloseKeepsTheConnection) {
  auto stream = Connected();
  int bg = 0;
  s.OnBgException = [&](const std::exception&, bool& canClose) {
    ++bg;
    canClose = false;
  };
  std::vector<std::string> seen;
  s.OnDataAvailable = [&](uint16_t) {
    seen.push_back(ReadAll());
    throw std::runtime_error("x");
  };
  loop.Deliver(stream, "one");
  loop.Deliver(stream, "two");
  loop.RunDue();
  EXPECT_EQ(seen, (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(bg, 2);
  EXPECT_EQ(s.State(), SocketState::Connected);
  EXPECT_FALSE(stream->closed);
}

// Where the escaping error ends: the background handler or nowhere; the
// connection is aborted either way.
TEST_F(WSocketTest, AnErrorWithoutBgExceptionOrInsideItIsDroppedAndAborts) {
  for (const int variant : {0, 1, 2}) {
    SCOPED_TRACE(variant);
    sim::SimLoop loop;
    plat::WSocket w(loop);
    if (variant == 1) {
      w.OnBgException = [](const std::exception&, bool&) { throw std::runtime_error("again"); };
    }
    if (variant == 2) w.OnBgException = [](const std::exception&, bool&) { throw 42; };
    w.OnSessionConnected = [](uint16_t) { throw std::logic_error("in connected"); };
    w.SetAddr("192.0.2.1");
    w.SetPort("900");
    w.Connect();
    auto stream = loop.LastStream();
    loop.CompleteConnect(stream, 0);
    EXPECT_NO_THROW(loop.RunDue());
    EXPECT_EQ(w.State(), SocketState::Closed);
    EXPECT_TRUE(stream->closed);
  }
}

TEST_F(WSocketTest, ANonStandardThrowReachesBgExceptionToo) {
  auto stream = Connected();
  int bg = 0;
  s.OnBgException = [&](const std::exception&, bool& canClose) {
    ++bg;
    EXPECT_TRUE(canClose);
  };
  s.OnDataAvailable = [](uint16_t) { throw 7; };
  loop.Deliver(stream, "x");
  loop.RunDue();
  EXPECT_EQ(bg, 1);
  EXPECT_EQ(s.State(), SocketState::Closed);
}

TEST_F(WSocketTest, ALookupAnswersWithItsResultList) {
  BindAll();
  loop.SetDns("update1.example", 0, {"192.0.2.5", "192.0.2.6"}, 30);
  s.DnsLookup("update1.example");
  EXPECT_TRUE(events.empty());
  ASSERT_EQ(loop.Lookups().size(), 1u);
  EXPECT_EQ(loop.LastLookup()->name, "update1.example");
  loop.Advance(29);
  EXPECT_TRUE(events.empty());
  loop.Advance(1);
  EXPECT_EQ(events, std::vector<std::string>{"dns 0"});
  EXPECT_EQ(s.DnsResultList(), (std::vector<std::string>{"192.0.2.5", "192.0.2.6"}));
}

TEST_F(WSocketTest, AFailedLookupGivesANonZeroCodeAndNoAddresses) {
  std::vector<uint16_t> codes;
  std::vector<size_t> sizes;
  s.OnDnsLookupDone = [&](uint16_t code) {
    codes.push_back(code);
    sizes.push_back(s.DnsResultList().size());
  };
  loop.SetDns("good.example", 0, {"192.0.2.7"});
  loop.SetDns("bad.example", -3008, {});
  s.DnsLookup("good.example");
  loop.Advance(5);
  s.DnsLookup("bad.example");  // the earlier result is cleared
  EXPECT_TRUE(s.DnsResultList().empty());
  loop.Advance(5);
  ASSERT_EQ(codes.size(), 2u);
  EXPECT_EQ(codes[0], 0);
  EXPECT_NE(codes[1], 0);
  EXPECT_EQ(sizes, (std::vector<size_t>{1, 0}));
}

TEST_F(WSocketTest, ANewLookupCancelsThePendingOne) {
  std::vector<std::string> answers;
  s.OnDnsLookupDone = [&](uint16_t code) {
    const auto& list = s.DnsResultList();
    answers.push_back(std::to_string(code) + " " + (list.empty() ? "" : list[0]));
  };
  s.DnsLookup("first.example");
  auto first = loop.LastLookup();
  s.DnsLookup("second.example");
  auto second = loop.LastLookup();
  EXPECT_TRUE(first->cancelled);
  EXPECT_FALSE(second->cancelled);
  loop.Answer(first, 0, {"192.0.2.1"});
  loop.Answer(second, 0, {"192.0.2.2"}, 10);
  loop.Advance(10);
  EXPECT_EQ(answers, std::vector<std::string>{"0 192.0.2.2"});
  EXPECT_FALSE(first->answered);
}

TEST_F(WSocketTest, ANumericNameIsAnsweredWithinTheCall) {
  std::vector<std::string> answers;
  s.DnsLookup("pending.example");
  auto pending = loop.LastLookup();
  s.OnDnsLookupDone = [&](uint16_t code) {
    answers.push_back(std::to_string(code) + " " + s.DnsResultList().at(0));
  };
  s.DnsLookup("203.0.113.9");
  EXPECT_EQ(answers, std::vector<std::string>{"0 203.0.113.9"});
  EXPECT_EQ(s.DnsResultList(), std::vector<std::string>{"203.0.113.9"});
  EXPECT_EQ(loop.Lookups().size(), 1u);  // no resolver asked
  EXPECT_TRUE(pending->cancelled);
  loop.Answer(pending, 0, {"192.0.2.1"});
  loop.RunDue();
  EXPECT_EQ(answers.size(), 1u);
}

TEST_F(WSocketTest, ALookupStartedInsideTheLookupEventIsKept) {
  loop.SetDns("a.example", 0, {"192.0.2.1"});
  loop.SetDns("b.example", 0, {"192.0.2.2"});
  std::vector<std::string> got;
  s.OnDnsLookupDone = [&](uint16_t) {
    got.push_back(s.DnsResultList().at(0));
    if (got.size() == 1) s.DnsLookup("b.example");
  };
  s.DnsLookup("a.example");
  loop.Advance(10);
  EXPECT_EQ(got, (std::vector<std::string>{"192.0.2.1", "192.0.2.2"}));
}

TEST_F(WSocketTest, AnErrorEscapingTheLookupEventGoesToBgException) {
  loop.SetDns("a.example", 0, {"192.0.2.1"});
  std::vector<std::string> bg;
  s.OnBgException = [&](const std::exception& e, bool&) { bg.push_back(e.what()); };
  s.OnDnsLookupDone = [](uint16_t) { throw std::runtime_error("lookup handler"); };
  s.DnsLookup("a.example");
  EXPECT_NO_THROW(loop.Advance(10));
  EXPECT_EQ(bg, std::vector<std::string>{"lookup handler"});
}

TEST_F(WSocketTest, UdpModeSendsExactlyTheBytesToAddrAndPort) {
  BindAll();
  s.SetProto("udp");
  s.SetAddr("198.51.100.20");
  s.SetPort("910");
  s.Connect();
  EXPECT_EQ(s.State(), SocketState::Connected);
  EXPECT_TRUE(loop.Streams().empty());
  const std::string code("ABCDEFGHIJ\0\x80KLMNOPQR", 20);
  EXPECT_EQ(s.SendStr(code), 20);
  s.Close();
  EXPECT_EQ(s.State(), SocketState::Closed);
  ASSERT_EQ(loop.datagrams.size(), 1u);
  EXPECT_EQ(loop.datagrams[0].addr, "198.51.100.20");
  EXPECT_EQ(loop.datagrams[0].port, 910);
  EXPECT_EQ(loop.datagrams[0].bytes, code);
  EXPECT_FALSE(loop.datagrams[0].broadcast);
  EXPECT_TRUE(events.empty());
  // Closed again: back to TCP is accepted.
  s.SetProto("tcp");
  EXPECT_EQ(s.Proto(), "tcp");
}

TEST_F(WSocketTest, UdpModeReportsAFailedSendAndABadAddress) {
  BindAll();
  s.SetProto("udp");
  s.SetAddr("0.0.0.0x");
  s.SetPort("910");
  s.Connect();
  EXPECT_EQ(s.State(), SocketState::Closed);
  EXPECT_EQ(s.SendStr("a"), -1);
  ASSERT_EQ(events.size(), 1u);  // the connect, not the send

  s.SetAddr("198.51.100.20");
  s.Connect();
  loop.datagramFails = true;
  EXPECT_EQ(s.SendStr("b"), -1);
  EXPECT_EQ(events.size(), 2u);
  EXPECT_TRUE(loop.datagrams.empty());
}

TEST_F(WSocketTest, AnUnknownProtocolIsRefused) {
  EXPECT_THROW(s.SetProto("icmp"), plat::SocketError);
  EXPECT_EQ(s.Proto(), "tcp");
}

TEST_F(WSocketTest, DestroyingTheSocketClosesItsStreamAndCancelsItsLookup) {
  std::shared_ptr<sim::SimStream> stream;
  std::shared_ptr<sim::SimLookup> lookup;
  {
    plat::WSocket w(loop);
    w.OnDataAvailable = [](uint16_t) { ADD_FAILURE() << "event after destruction"; };
    w.OnDnsLookupDone = [](uint16_t) { ADD_FAILURE() << "event after destruction"; };
    w.OnSessionConnected = [](uint16_t) { ADD_FAILURE() << "event after destruction"; };
    w.SetAddr("192.0.2.1");
    w.SetPort("900");
    w.Connect();
    stream = loop.LastStream();
    w.DnsLookup("x.example");
    lookup = loop.LastLookup();
  }
  EXPECT_TRUE(stream->closed);
  EXPECT_TRUE(lookup->cancelled);
  loop.CompleteConnect(stream, 0);
  loop.Deliver(stream, "x");
  loop.Answer(lookup, 0, {"192.0.2.1"});
  loop.Advance(30000);
  EXPECT_EQ(loop.NextDue(), -1);
}

// --- UdpSender ---

struct SenderCase {
  const char* name;
  std::string host;
  std::string addr;  // where the datagram goes; empty = Send throws
};

TEST(UdpSenderTest, SendGoesToTheHostOrTheFirstLocalAddress) {
  const SenderCase cases[] = {
      {"empty host: first address of the local name", "", "10.0.0.5"},
      {"numeric host", "192.0.2.44", "192.0.2.44"},
      {"host name", "peer.example", "198.51.100.7"},
      {"unknown host name", "nobody.example", ""},
      {"host name without addresses", "empty.example", ""},
  };
  for (const SenderCase& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimLoop loop;
    loop.hostName = "simbox";
    loop.hostAddresses["simbox"] = {"10.0.0.5", "10.0.0.6"};
    loop.hostAddresses["peer.example"] = {"198.51.100.7", "198.51.100.8"};
    loop.hostAddresses["empty.example"] = {};
    plat::UdpSender u(loop);
    u.Port = 900;
    u.Host = c.host;
    if (c.addr.empty()) {
      EXPECT_THROW(u.Send("note"), std::runtime_error);
      EXPECT_TRUE(loop.datagrams.empty());
      continue;
    }
    u.Send("Corvilink;abc;0123");
    ASSERT_EQ(loop.datagrams.size(), 1u);
    EXPECT_EQ(loop.datagrams[0].addr, c.addr);
    EXPECT_EQ(loop.datagrams[0].port, 900);
    EXPECT_EQ(loop.datagrams[0].bytes, "Corvilink;abc;0123");
    EXPECT_EQ(loop.hostNameCalls, c.host.empty() ? 1 : 0);
  }
}

TEST(UdpSenderTest, SendFailsCleanlyWhenTheLocalNameCannotBeHad) {
  struct Case {
    const char* name;
    bool hostNameFails;
    std::vector<std::string> addrs;  // of the local name; none = not resolvable
    bool resolvable;
  };
  const Case cases[] = {
      {"no host name", true, {"10.0.0.5"}, true},
      {"name not resolvable", false, {}, false},
      {"name without addresses", false, {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimLoop loop;
    loop.hostNameFails = c.hostNameFails;
    if (c.resolvable) loop.hostAddresses[loop.hostName] = c.addrs;
    plat::UdpSender u(loop);
    u.Port = 900;
    EXPECT_THROW(u.Send("x"), std::runtime_error);
    EXPECT_TRUE(loop.datagrams.empty());
  }
}

TEST(UdpSenderTest, BroadcastNeedsBroadcastEnabledAndGoesToTheLimitedAddress) {
  sim::SimLoop loop;
  plat::UdpSender u(loop);
  u.Port = 900;
  EXPECT_THROW(u.Broadcast("m", 899), std::runtime_error);
  EXPECT_TRUE(loop.datagrams.empty());
  u.BroadcastEnabled = true;
  u.Broadcast("Debug    x", 899);
  ASSERT_EQ(loop.datagrams.size(), 1u);
  EXPECT_EQ(loop.datagrams[0].addr, "255.255.255.255");
  EXPECT_EQ(loop.datagrams[0].port, 899);
  EXPECT_EQ(loop.datagrams[0].bytes, "Debug    x");
  EXPECT_TRUE(loop.datagrams[0].broadcast);
}

TEST(UdpSenderTest, AnInactiveSenderOrAFailedSendThrows) {
  sim::SimLoop loop;
  plat::UdpSender u(loop);
  u.Host = "192.0.2.1";
  u.Port = 900;
  u.BroadcastEnabled = true;
  u.Active = false;
  EXPECT_THROW(u.Send("a"), std::runtime_error);
  EXPECT_THROW(u.Broadcast("a", 899), std::runtime_error);
  u.Active = true;
  loop.datagramFails = true;
  EXPECT_THROW(u.Send("a"), std::runtime_error);
  EXPECT_THROW(u.Broadcast("a", 899), std::runtime_error);
  EXPECT_TRUE(loop.datagrams.empty());
}

}  // namespace
