#include "ReplyGallery.h"

#include "rendering/MarkdownText.h"


namespace cvn::gallery {

namespace {

constexpr int kMargin = 16;

const char* const kSample = R"(# Reading a config file
## Two ways to do it
### First, the short one
Most of the time **one call** is enough: `readAll()` returns the *whole* file, and **bold** and *italic* sit side by side.

- a bullet with `inline code`
- a second bullet that is long enough to wrap onto a second line so the continuation sits under the text, not under the marker
- third

3. numbered as written
7. seven
12. twelve

> A quote keeps its grey bar, even across several lines of text that wrap because they are rather long.

```swift
import Foundation

// Reads the settings, or nil when the file is missing.
func loadSettings(at url: URL) throws -> [String: Any]? {
    guard FileManager.default.fileExists(atPath: url.path) else {
        return nil
    }
    let data = try Data(contentsOf: url)
    let object = try JSONSerialization.jsonObject(with: data, options: [])
    let limit = 4096 * 2 + 0x10
    print("read \(data.count) of \(limit) bytes")
    return object as? [String: Any]
}

let settings = try loadSettings(at: URL(fileURLWithPath: "/tmp/settings.json"))
print(settings ?? "no settings at all, and this line is long enough to scroll sideways inside the card")
```

| Option | Type | Default | Meaning |
|:--|:-:|--:|---|
| `timeout` | number | 30 | seconds before the request gives up; a long explanation that wraps inside its column once it passes the wrap width |
| **retries** | number | 3 | how often to try again |
| *verbose* | bool | false | print every step |
| name | text | "" | shown in the log |

| Only |
|---|
| one column |

```
plain code without a language
```
)";

QImage renderReply(const QString& source, int width)
{
    QWidget host;
    host.setAttribute(Qt::WA_DontShowOnScreen);
    auto* view = new MarkdownText(source, Theme::ink, &host);
    const int height = view->heightForWidth(width);
    view->setGeometry(kMargin, kMargin, width, height);
    host.resize(width + 2 * kMargin, height + 2 * kMargin);
    host.show();
    settle();
    QImage image(host.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Theme::pageBackground());
    host.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

} // namespace

QString replySample()
{
    return QString::fromUtf8(kSample);
}

QList<Sheet> replySheets()
{
    return {
        {QStringLiteral("markdown-reply"), renderReply(replySample(), 720)},
        {QStringLiteral("markdown-reply-narrow"), renderReply(replySample(), 360)},
    };
}

} // namespace cvn::gallery
