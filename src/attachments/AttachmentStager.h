#pragma once

#include "attachments/AttachmentText.h"
#include "attachments/StagedAttachment.h"
#include "attachments/ToastKind.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace cvn {

// The files staged for the next message of one window: at most five, each
// checked for its type and size, each read for its text in the background.
//
// Lives on the main thread, and every member is called there. Extractions
// run on the shared background pool and report back through the main event
// loop; each result is matched to its file by id, so a file removed while it
// is read stays removed, and a stager destroyed meanwhile is never touched.
// A file that leaves the list while it is read (removed, cleared, or the
// stager destroyed) has its reading stopped: a PDF or image can keep a
// thread busy until its reading time is up.
class AttachmentStager : public QObject {
    Q_OBJECT

public:
    static constexpr int maxFiles = 5;

    explicit AttachmentStager(QObject* parent = nullptr);
    ~AttachmentStager() override;

    // What reads one staged file on the background pool: readAttachment,
    // unless replaced (tests watch the reading through it). `stop` turns true
    // when the file leaves the list or its reading time is up.
    using Reader = std::function<AttachmentReading(const QString& path, bool isImage, const ReadingStop& stop)>;
    void setReader(Reader reader);

    // The staged files in staging order.
    const QList<StagedAttachment>& staged() const { return m_staged; }
    // Replaces the list; the chat view empties it after a send.
    void setStaged(QList<StagedAttachment> staged);

    // "Reading attachment..." while any staged file is still being read.
    std::optional<QString> status() const { return m_status; }

    // Where refusals and send-time problems are reported; does nothing until
    // set. Returns a token that names this handler: a view that goes away
    // clears only the handler it installed itself, never a newer view's.
    uint64_t setOnToast(ToastHandler onToast);
    // Clears the handler if `token` still names it; does nothing otherwise.
    void clearOnToast(uint64_t token);

    // Opens a non-modal file dialog for documents (true) or images (false)
    // and stages the chosen files in the dialog's order when it is accepted.
    // Returns at once.
    void pickFiles(bool documents);

    // Stages one file, or refuses it with an error toast: a sixth file, an
    // extension in neither list, a name that leads to no file ("Couldn't
    // open file: " and the name), or a size of more than maxAttachmentBytes.
    // A file that passes is appended and read in the background.
    void stage(const QUrl& url);
    // Stages a picture the composer wrote from pasted image data. The file
    // is the stager's: it is deleted once it leaves the list (removed, sent,
    // refused, or the stager destroyed), as a sent message keeps its own
    // copy of the bytes.
    void stagePasted(const QUrl& url);

    // Removes every staged file with this id.
    void remove(const QUuid& id);
    void clear() { setStaged({}); }

    // The positions one image takes in the context of the model a message
    // goes to: its projector's, or 0 for a model that does not see images
    // (it is sent an image's recognised text alone).
    void setImagePositions(int64_t positions);
    int64_t imagePositions() const { return m_imagePositions; }

    // The sum of the token estimates, and imagePositions() for each image;
    // files still being read count 0 for their text.
    int64_t totalApproxTokens() const;

    // The prompt for the staged files and the typed text, or nothing when
    // there is nothing to send; see composePrompt in SentAttachments.h. Leaves
    // `staged` as it is.
    std::optional<QString> composePrompt(const QString& text, int64_t contextTokens,
                                         const QList<QUuid>& shownAsImages = {}) const;

    // The bytes of a staged image as a message keeps them, or nothing when
    // its file can no longer be read or the image cannot be sent. An image
    // still being read in the background is checked here, with the toast
    // saying why it is left out: a send never waits for the check.
    std::optional<QByteArray> imageBytes(const StagedAttachment& file) const;

    // The file dialog's name filter for a list: every extension in lower and
    // upper case, as file names on Linux are matched case-sensitively.
    static QString dialogFilter(bool documents);

signals:
    void stagedChanged();
    void statusChanged();

private:
    void startExtraction(const StagedAttachment& file);
    void finishExtraction(const QUuid& id, const AttachmentReading& reading);
    void updateStatus();
    // Stops the readings of the files no longer in m_staged, and deletes
    // the pasted pictures no longer in it.
    void stopLeftReadings();

    QList<StagedAttachment> m_staged;
    Reader m_reader;
    // Set to stop the reading of a file, by id, while it is read.
    QHash<QUuid, std::shared_ptr<std::atomic<bool>>> m_readingStops;
    // The pasted pictures staged, by id: deleted when they leave the list.
    QHash<QUuid, QString> m_pasted;
    std::optional<QString> m_status;
    ToastHandler m_onToast;
    uint64_t m_onToastToken = 0;
    int64_t m_imagePositions = 0;
};

} // namespace cvn
