// The texts around an answer: its escaping for the page, the reasoning taken out of the stored
// turn, the backend request's body and the description of a backend's error status.
#include <gtest/gtest.h>

#include "relay/answer_escaper.h"
#include "relay/completion_request.h"
#include "relay/reasoning_splitter.h"
#include "relay/streaming_delegate.h"

namespace velmora::relay {
namespace {

std::string escapedInPieces(const std::vector<std::string>& pieces) {
  AnswerEscaper escaper;
  std::string page;
  for (const std::string& piece : pieces) page += escaper.feed(piece);
  return page + escaper.finish() + escaper.closeOpenElements();
}

TEST(AnswerEscaperTest, ReasoningTagsPassWhereverThePiecesEnd) {
  const std::pair<std::string, std::string> rows[] = {
      {"<script>x</script> & <b>", "&lt;script&gt;x&lt;/script&gt; &amp; &lt;b&gt;"},
      {"<thought>b</thought><reason>c</reason>", "<thought>b</thought><reason>c</reason>"},
      {"<think>1<2</think>", "<think>1&lt;2</think>"},
      {"<thinking><Think><<think>", "&lt;thinking&gt;&lt;Think&gt;&lt;<think></think>"},
      {"<think>a</reason><reason>b", "<think>a</reason><reason>b</reason></think>"},
      {"unfinished at the end <thou", "unfinished at the end &lt;thou"},
      {"é<reason>日本</reason>", "é<reason>日本</reason>"},
  };
  for (const auto& [answer, page] : rows) {
    SCOPED_TRACE(answer);
    EXPECT_EQ(escapedInPieces({answer}), page);
    for (std::size_t cut = 1; cut < answer.size(); ++cut)
      EXPECT_EQ(escapedInPieces({answer.substr(0, cut), answer.substr(cut)}), page) << cut;
    std::vector<std::string> bytes;
    for (const char c : answer) bytes.emplace_back(1, c);
    EXPECT_EQ(escapedInPieces(bytes), page);
  }
}

// The splitter's segments as "answer[reasoning]answer", neighbours of one kind joined as a page
// shows them.
std::string splitInPieces(const std::vector<std::string>& pieces, std::string* unclosed = nullptr) {
  ReasoningSplitter splitter;
  std::string shown;
  bool inReasoning = false;
  const auto show = [&](const std::vector<ReasoningSplitter::Segment>& segments) {
    for (const auto& [reasoning, text] : segments) {
      EXPECT_FALSE(text.empty());
      if (reasoning != inReasoning) shown += reasoning ? "[" : "]";
      inReasoning = reasoning;
      shown += text;
    }
  };
  for (const std::string& piece : pieces) show(splitter.feed(piece));
  show(splitter.finish());
  if (unclosed) *unclosed = splitter.unclosedText();
  return shown + (inReasoning ? "]" : "");
}

TEST(ReasoningSplitterTest, TagsAreFoundWhereverThePiecesEnd) {
  // The last column: what a finished answer keeps as text of a section left open.
  const std::tuple<std::string, std::string, std::string> rows[] = {
      {"a<think>1<2</think>b", "a[1<2]b", ""},
      {"<thought>x</thought><reason>y</reason>z", "[xy]z", ""},
      {"<reason>a</think>b</reason>c", "[a</think>b]c", ""},
      {"<thinking><Think> & <", "<thinking><Think> & <", ""},
      {"said <think>while </thou", "said [while </thou]", "<think>while </thou"},
      {"é<think>日本", "é[日本]", "<think>日本"},
      {" \n<think>a</think> <reason>opens", " \n[a] [opens]", ""},
  };
  for (const auto& [answer, shown, kept] : rows) {
    SCOPED_TRACE(answer);
    std::string unclosed;
    EXPECT_EQ(splitInPieces({answer}, &unclosed), shown);
    EXPECT_EQ(unclosed, kept);
    for (std::size_t cut = 1; cut < answer.size(); ++cut)
      EXPECT_EQ(splitInPieces({answer.substr(0, cut), answer.substr(cut)}), shown) << cut;
  }
}

TEST(CompletionRequestTest, StripReasoning) {
  const std::tuple<std::string, bool, std::string> rows[] = {
      {"a<think>1</think>b<think>2\n3</think>c", false, "abc"},
      {"<think>x</think><thought>y</thought><reason>z</reason>!", false, "!"},
      {"broke off <think>while reasoning", true, "broke off "},
      {"<reason>a</reason>b<thought>c", true, "b"},
      {"drop everything between <think> and its end. Steps: 1", false,
       "drop everything between <think> and its end. Steps: 1"},
      {"<reason>a</reason>b<thought>c", false, "b<thought>c"},
      {"\n <think>opens the answer", false, "\n "},
  };
  for (const auto& [answer, brokeOff, stored] : rows)
    EXPECT_EQ(stripReasoning(answer, brokeOff), stored) << answer;
}

TEST(CompletionRequestTest, Body) {
  // Bytes that are not UTF-8 go out replaced; the system prompt only when there is one.
  const std::vector<ChatMessage> history = {{"user", "h\xffi"},
                                            {"assistant", "yo\\\"\x01\x1f\x7f\b\f\n\r\t"}};
  const std::string turns = R"({"role":"user","content":"h�i"},)"
                            R"({"role":"assistant","content":"yo\\\"\u0001\u001f)"
                            "\x7f"
                            R"(\b\f\n\r\t"})";
  const std::pair<std::string, std::string> rows[] = {
      {"", ""}, {"Be \"brief\"", R"({"role":"system","content":"Be \"brief\""},)"}};
  platform::HttpClientRequest base;
  base.url = "http://127.0.0.1:9/v1/chat/completions";
  base.headers = {{"X-Extra", "1"}};
  for (const auto& [system, first] : rows) {
    const auto request = makeCompletionRequest(base, "m", system, history);
    EXPECT_EQ(request.url, base.url);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.headers, (platform::HttpClientHeaders{{"X-Extra", "1"},
                                                            {"Content-Type", "application/json"}}));
    EXPECT_EQ(std::string(request.body.value().begin(), request.body.value().end()),
              R"({"model":"m","messages":[)" + first + turns + R"(],"stream":true})");
  }
}

TEST(CompletionRequestTest, PhotosGoAsContentPartsOfTheirJoinedTurn) {
  // Past one block of the base64 writer, and a lost photo left out.
  std::string abc;
  for (int i = 0; i < (1 << 20) + 1; ++i) abc += "abc";
  abc += "ab";
  ChatMessage second{"user", "b"};
  second.images = {{ImageType::png, "",
                    std::make_shared<const std::vector<uint8_t>>(abc.begin(), abc.end()), "1"},
                   {ImageType::gif, "", nullptr, "2"}};
  std::string base64;
  for (int i = 0; i < (1 << 20) + 1; ++i) base64 += "YWJj";
  const auto request = makeCompletionRequest({}, "m", "", {{"user", "a"}, second});
  EXPECT_EQ(std::string(request.body.value().begin(), request.body.value().end()),
            R"({"model":"m","messages":[{"role":"user","content":[{"type":"text","text":"a\n\nb"},)"
            R"({"type":"image_url","image_url":{"url":"data:image/png;base64,)" +
                base64 + R"(YWI="}}]}],"stream":true})");
}

TEST(ErrorStatusTest, Description) {
  const std::string limit(kMaxErrorBodyText, 'a');
  struct Row {
    const char* name;
    int status;
    std::string body, description;
  };
  const Row rows[] = {
      {"error text", 400, R"({"error":"No models loaded"})", "HTTP 400: No models loaded"},
      {"error message", 404, R"({"error":{"message":"No model","n":1}})", "HTTP 404: No model"},
      {"error without message", 500, R"({"error":{"n":1}})", R"(HTTP 500: {"error":{"n":1}})"},
      {"text on one line", 502, "Bad\r\ngateway\tnow\n", "HTTP 502: Bad  gateway now"},
      {"exactly the limit", 500, limit, "HTTP 500: " + limit},
      {"past the limit", 500, limit + "b", "HTTP 500: " + limit + "…"},
      {"no character split", 500, limit.substr(1) + "é", "HTTP 500: " + limit.substr(1) + "…"},
      {"blanks only", 503, " \r\n ", "HTTP 503"},
      {"not UTF-8", 500, "bad \xff", "HTTP 500"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto* bytes = reinterpret_cast<const uint8_t*>(row.body.data());
    EXPECT_EQ(errorStatusDescription(row.status, {bytes, row.body.size()}), row.description);
  }
}

}  // namespace
}  // namespace velmora::relay
