#include "screens/EditModelForm.h"

#include "screens/EditModelFormModel.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnCardSlider.h"
#include "ui_kit/CvnComboBox.h"
#include "ui_kit/CvnTextArea.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QVBoxLayout>

#include <limits>

namespace cvn {

namespace {

constexpr int kTitleGapBelow = 4;
constexpr int kSectionGapAbove = 12;
constexpr int kCaptionGapBelow = 6;
constexpr QMargins kFieldPadding{14, 8, 14, 8};
constexpr qreal kFieldRadius = 19;
constexpr int kTrackHeight = 6;
constexpr int kThumbSize = 22;
constexpr qreal kFadedOpacity = 0.5;
constexpr int kInstructionsHeight = 132;
constexpr int kNumberFieldWidth = 132;
constexpr int kRowGap = 8;

qreal fade(bool faded)
{
    return faded ? kFadedOpacity : 1.0;
}

const DynamicColor kFaded = Theme::paper.withAlpha(0.6);

// A row of the column with its own padding around it.
QWidget* padded(QWidget* content, QMargins margins, QWidget* parent)
{
    auto* holder = new QWidget(parent);
    auto* layout = new QVBoxLayout(holder);
    layout->setContentsMargins(margins);
    layout->setSpacing(0);
    layout->addWidget(content);
    return holder;
}

// The outlined frame of the name field: drawn, so it matches the kit's other
// outlined controls rather than the platform's line edit.
class NameFrame : public QWidget {
public:
    using QWidget::QWidget;

    bool isFaded() const { return m_faded; }
    void setFaded(bool faded)
    {
        m_faded = faded;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        Theme::strokeInside(p, QRectF(rect()), kFieldRadius, Theme::paper.withAlpha(0.25 * fade(m_faded))());
    }

private:
    bool m_faded = false;
};

// A line edit's palette on the card, its disabled text faded like the rest
// of a disabled control.
void applyFieldPalette(QLineEdit* field)
{
    QPalette palette = Theme::palette(Theme::Surface::Card, Theme::appearance());
    palette.setColor(QPalette::Disabled, QPalette::Text, Theme::paper.withAlpha(kFadedOpacity)());
    field->setPalette(palette);
}

} // namespace

FormText::FormText(const QString& text, DynamicColor color, QWidget* parent)
    : QWidget(parent)
    , m_text(text)
    , m_color(color)
{
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    setFont(Theme::interMedium16());
    Theme::repaintOnAppearanceChange(this);
}

void FormText::setText(const QString& text)
{
    if (text == m_text)
        return;
    m_text = text;
    updateGeometry();
    update();
}

int FormText::heightForWidth(int width) const
{
    const QFontMetrics metrics(font());
    const int lines = metrics.boundingRect(QRect(0, 0, std::max(width, 1), std::numeric_limits<int>::max() / 2),
                                           Qt::TextWordWrap | Qt::AlignLeft, m_text)
                          .height();
    return std::max(lines, metrics.height());
}

QSize FormText::sizeHint() const
{
    const int w = EditModelForm::kWidth - EditModelForm::kIndent;
    return {w, heightForWidth(w)};
}

void FormText::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setFont(font());
    p.setPen(m_color());
    p.drawText(rect(), Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, m_text);
}

EditModelForm::EditModelForm(EditModelFormModel* form, QWidget* parent)
    : QWidget(parent)
    , m_form(form)
{
    setObjectName(QStringLiteral("cvn.editModelForm"));
    setFixedWidth(kWidth);
    QSizePolicy policy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);

    m_column = new QVBoxLayout(this);
    m_column->setContentsMargins(0, 0, 0, 0);
    m_column->setSpacing(0);
    using Mode = EditModelFormModel::NameMode;

    auto title = [this](const QString& text, int above) {
        m_column->addWidget(padded(new FormText(text, kFaded), QMargins(0, above, 0, kTitleGapBelow), this));
    };
    auto caption = [this](FormText*& text, QWidget*& row, DynamicColor color) {
        text = new FormText(QString(), color);
        row = padded(text, QMargins(kIndent, 0, 0, kCaptionGapBelow), this);
        m_column->addWidget(row);
    };

    title(QStringLiteral("DISPLAY NAME"), 0);
    m_autoName = new CvnRadioButton(QStringLiteral("Auto-cleaned: ") + form->cleanedName(), true, true,
                                    [this] { m_form->chooseNameMode(Mode::Auto); }, this);
    m_originalName = new CvnRadioButton(QStringLiteral("Original filename: ") + form->originalName(), false, true,
                                        [this] { m_form->chooseNameMode(Mode::Original); }, this);
    m_customName = new CvnRadioButton(QStringLiteral("Custom"), false, true,
                                      [this] { m_form->chooseNameMode(Mode::Custom); }, this);
    m_column->addWidget(m_autoName);
    m_column->addWidget(m_originalName);
    m_column->addWidget(m_customName);

    m_nameFrame = new NameFrame;
    m_nameFrame->setObjectName(QStringLiteral("cvn.editModelForm.nameFrame"));
    auto* inFrame = new QVBoxLayout(m_nameFrame);
    inFrame->setContentsMargins(kFieldPadding);
    m_nameField = new QLineEdit(m_nameFrame);
    m_nameField->setObjectName(QStringLiteral("cvn.editModelForm.name"));
    m_nameField->setFrame(false);
    m_nameField->setFont(Theme::interMedium16());
    m_nameField->setAttribute(Qt::WA_MacShowFocusRect, false);
    applyFieldPalette(m_nameField);
    connect(&ThemeNotifier::instance(), &ThemeNotifier::appearanceChanged, m_nameField,
            [field = m_nameField] { applyFieldPalette(field); });
    // The cap counts user-perceived characters, never QLineEdit's UTF-16 units.
    m_nameField->setMaxLength(std::numeric_limits<int>::max());
    inFrame->addWidget(m_nameField);
    m_column->addWidget(padded(m_nameFrame, QMargins(kIndent, 6, 0, 0), this));
    connect(m_nameField, &QLineEdit::textEdited, this, &EditModelForm::nameEdited);

    title(QStringLiteral("CONTEXT SIZE"), kSectionGapAbove);
    m_autoContext = new CvnRadioButton(QStringLiteral("Auto (recommended)"), true, true,
                                       [this] { m_form->setManual(false); }, this);
    m_column->addWidget(m_autoContext);
    caption(m_autoCaption, m_autoCaptionRow, kFaded);
    m_manualContext = new CvnRadioButton(QStringLiteral("Manual"), false, true, [this] { m_form->setManual(true); },
                                         this);
    m_column->addWidget(m_manualContext);
    m_slider = new CvnCardSlider(form->stepIndex(), int(form->steps().size()), false, kTrackHeight, kThumbSize);
    m_column->addWidget(padded(m_slider, QMargins(kIndent, 4, 0, 0), this));
    connect(m_slider, &CvnCardSlider::valueWritten, this, [this](int index) { m_form->setStepIndex(index); });
    caption(m_manualCaption, m_manualCaptionRow, kFaded);
    caption(m_trainedCaption, m_trainedCaptionRow, kFaded);
    caption(m_warning, m_warningRow, Theme::dangerOnInk);

    title(QStringLiteral("CHAT TEMPLATE"), kSectionGapAbove);
    m_template = new CvnComboBox(EditModelFormModel::chatTemplateChoices(), form->templateIndex());
    m_column->addWidget(padded(m_template, QMargins(0, 4, 0, 0), this));
    connect(m_template, &CvnComboBox::selectionWritten, this, [this](int index) {
        m_form->setTemplateIndex(index);
        m_template->setOpen(false);
    });

    addImages();
    addSampling();

    connect(form, &EditModelFormModel::changed, this, &EditModelForm::refresh);
    refresh();
}

void EditModelForm::addImages()
{
    m_imagesSection = new QWidget(this);
    auto* section = new QVBoxLayout(m_imagesSection);
    section->setContentsMargins(0, kSectionGapAbove, 0, 0);
    section->setSpacing(0);
    section->addWidget(padded(new FormText(QStringLiteral("IMAGES"), kFaded), QMargins(0, 0, 0, kTitleGapBelow),
                              m_imagesSection));
    m_projector = new CvnComboBox(m_form->projectorChoices(), m_form->projectorIndex());
    m_projector->setObjectName(QStringLiteral("cvn.editModelForm.projector"));
    m_projector->setVisible(m_form->offersProjectors());
    section->addWidget(padded(m_projector, QMargins(0, 4, 0, 0), m_imagesSection));
    m_projectorCaption = new FormText(QString(), kFaded);
    // Under a choice the caption stands apart from it; alone, it is the
    // section's one line.
    section->addWidget(padded(m_projectorCaption, QMargins(m_form->offersProjectors() ? kIndent : 0,
                                                           m_form->offersProjectors() ? 6 : 0, 0, 0),
                              m_imagesSection));
    m_imagesSection->setVisible(m_form->showsImages());
    m_column->addWidget(m_imagesSection);
    connect(m_projector, &CvnComboBox::selectionWritten, this, [this](int index) {
        m_form->setProjectorIndex(index);
        m_projector->setOpen(false);
    });
}

void EditModelForm::addSampling()
{
    auto title = [this](const QString& text) {
        m_column->addWidget(
            padded(new FormText(text, kFaded), QMargins(0, kSectionGapAbove, 0, kTitleGapBelow), this));
    };
    title(QStringLiteral("INSTRUCTIONS"));
    auto* frame = new NameFrame;
    frame->setFixedHeight(kInstructionsHeight);
    auto* inFrame = new QVBoxLayout(frame);
    inFrame->setContentsMargins(kFieldPadding.left(), kFieldPadding.top(), kFieldPadding.right() - 6,
                                kFieldPadding.bottom());
    m_instructions = new CvnTextArea(m_form->instructions(),
                                     QStringLiteral("Empty: replies start without a system message"),
                                     ModelInfo::maxInstructions, frame);
    m_instructions->setObjectName(QStringLiteral("cvn.editModelForm.instructions"));
    inFrame->addWidget(m_instructions);
    m_column->addWidget(padded(frame, QMargins(0, 4, 0, 0), this));
    connect(m_instructions, &QPlainTextEdit::textChanged, this,
            [this] { m_form->setInstructions(m_instructions->toPlainText()); });

    title(QStringLiteral("SAMPLING"));
    addSettingRow(Setting::temperature, QStringLiteral("Temperature"),
                  QStringLiteral("0–2, default 0.8; 0 is greedy"), 0);
    addSettingRow(Setting::topK, QStringLiteral("Top-k"), QStringLiteral("0–200, default 40; 0 is off"), 0);
    addSettingRow(Setting::topP, QStringLiteral("Top-p"), QStringLiteral("0.05–1, default 0.95"), 0);
    addSettingRow(Setting::minP, QStringLiteral("Min-p"), QStringLiteral("0–1, default 0; 0 is off"), 0);
    addSettingRow(Setting::repeatPenalty, QStringLiteral("Repeat penalty"),
                  QStringLiteral("1–2, default 1.1; last 64 tokens"), 0);

    m_column->addWidget(padded(new FormText(QStringLiteral("Reply length limit"), Theme::paper),
                               QMargins(0, kRowGap, 0, 0), this));
    m_autoLimit = new CvnRadioButton(QStringLiteral("Automatic (default): up to 2048 tokens, half the context"),
                                     true, true, [this] { m_form->setLimitFixed(false); }, this);
    m_fixedLimit = new CvnRadioButton(QStringLiteral("Fixed"), false, true, [this] { m_form->setLimitFixed(true); },
                                      this);
    m_column->addWidget(m_autoLimit);
    m_column->addWidget(m_fixedLimit);
    addSettingRow(Setting::replyLimit, QString(), QStringLiteral("1–32768 tokens"), kIndent);

    m_column->addWidget(
        padded(new FormText(QStringLiteral("Seed"), Theme::paper), QMargins(0, kRowGap, 0, 0), this));
    m_randomSeed = new CvnRadioButton(QStringLiteral("Random (default)"), true, true,
                                      [this] { m_form->setSeedFixed(false); }, this);
    m_fixedSeed = new CvnRadioButton(QStringLiteral("Fixed"), false, true, [this] { m_form->setSeedFixed(true); },
                                     this);
    m_column->addWidget(m_randomSeed);
    m_column->addWidget(m_fixedSeed);
    addSettingRow(Setting::seed, QString(), QStringLiteral("0–4294967294"), kIndent);

    m_restoreDefaults = new CvnCompactOutlinePillButton(QStringLiteral("Restore defaults"));
    m_restoreDefaults->setObjectName(QStringLiteral("cvn.editModelForm.restoreDefaults"));
    connect(m_restoreDefaults, &QAbstractButton::clicked, this, [this] {
        // A field being typed in shows the defaults too.
        if (QWidget* focused = focusWidget())
            focused->clearFocus();
        m_form->restoreSamplingDefaults();
    });
    auto* buttonRow = new QWidget(this);
    auto* buttonLayout = new QHBoxLayout(buttonRow);
    buttonLayout->setContentsMargins(0, 12, 0, 4);
    buttonLayout->addWidget(m_restoreDefaults);
    buttonLayout->addStretch(1);
    m_column->addWidget(buttonRow);
}

void EditModelForm::addSettingRow(Setting setting, const QString& label, const QString& hint, int indent)
{
    auto* row = new QWidget(this);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(indent, kRowGap, 0, 0);
    layout->setSpacing(12);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(0);
    if (!label.isEmpty())
        texts->addWidget(new FormText(label, Theme::paper));
    texts->addWidget(new FormText(hint, kFaded));
    layout->addLayout(texts, 1);

    auto* frame = new NameFrame;
    frame->setFixedWidth(kNumberFieldWidth);
    auto* inFrame = new QVBoxLayout(frame);
    inFrame->setContentsMargins(kFieldPadding);
    auto* field = new QLineEdit(frame);
    field->setObjectName(QStringLiteral("cvn.editModelForm.sampling.%1").arg(int(setting)));
    field->setFrame(false);
    field->setFont(Theme::interMedium16());
    field->setAttribute(Qt::WA_MacShowFocusRect, false);
    applyFieldPalette(field);
    connect(&ThemeNotifier::instance(), &ThemeNotifier::appearanceChanged, field, [field] { applyFieldPalette(field); });
    field->setText(m_form->valueText(setting));
    inFrame->addWidget(field);
    layout->addWidget(frame, 0, Qt::AlignTop);
    m_column->addWidget(row);
    connect(field, &QLineEdit::textEdited, this, [this, setting](const QString& text) { typed(setting, text); });
    // Leaving a refused text shows the value kept again.
    connect(field, &QLineEdit::editingFinished, this, [this, setting] {
        m_refusalRows.value(setting)->setVisible(false);
        m_fields.value(setting)->setText(m_form->valueText(setting));
    });

    auto* refusal = new FormText(EditModelFormModel::refusal(setting), Theme::dangerOnInk);
    QWidget* refusalRow = padded(refusal, QMargins(indent, 4, 0, 0), this);
    refusalRow->setVisible(false);
    m_column->addWidget(refusalRow);
    m_fields.insert(setting, field);
    m_fieldFrames.insert(setting, frame);
    m_refusals.insert(setting, refusal);
    m_refusalRows.insert(setting, refusalRow);
}

void EditModelForm::typed(Setting setting, const QString& text)
{
    // An empty field is a value being typed, not yet one to refuse.
    const bool refused = !text.trimmed().isEmpty() && !m_form->setTyped(setting, text);
    m_refusalRows.value(setting)->setVisible(refused);
}

void EditModelForm::nameEdited(const QString& text)
{
    const QString capped = EditModelFormModel::capName(text);
    if (capped != text) {
        const int cursor = std::min<int>(m_nameField->cursorPosition(), capped.size());
        m_nameField->setText(capped);
        m_nameField->setCursorPosition(cursor);
    }
    m_form->setName(capped);
}

void EditModelForm::refresh()
{
    if (!m_form)
        return;
    using Mode = EditModelFormModel::NameMode;
    const EditModelFormModel& f = *m_form;
    m_autoName->setOn(f.nameMode() == Mode::Auto);
    m_originalName->setOn(f.nameMode() == Mode::Original);
    m_customName->setOn(f.nameMode() == Mode::Custom);
    if (m_nameField->text() != f.name())
        m_nameField->setText(f.name());
    const bool custom = f.nameMode() == Mode::Custom;
    m_nameField->setEnabled(custom);
    // A disabled field fades, outline and text together, as the slider does.
    static_cast<NameFrame*>(m_nameFrame)->setFaded(!custom);

    m_autoContext->setOn(!f.manual());
    m_manualContext->setOn(f.manual());
    m_slider->setValue(f.stepIndex());
    m_slider->setEnabled(f.manual());
    m_autoCaption->setText(f.autoCaption());
    m_manualCaption->setText(f.manualCaption());
    m_trainedCaption->setText(f.trainedCaption());
    m_warning->setText(f.ramWarning());
    m_autoCaptionRow->setVisible(!f.manual());
    m_manualCaptionRow->setVisible(f.manual());
    m_trainedCaptionRow->setVisible(f.manual());
    m_warningRow->setVisible(f.showsRamWarning());

    if (m_template->selection() != f.templateIndex())
        m_template->setSelection(f.templateIndex());

    if (m_projector->selection() != f.projectorIndex())
        m_projector->setSelection(f.projectorIndex());
    m_projectorCaption->setText(f.projectorCaption());

    if (m_instructions->toPlainText() != f.instructions())
        m_instructions->setPlainText(f.instructions());
    m_autoLimit->setOn(!f.sampling().replyLimit);
    m_fixedLimit->setOn(f.sampling().replyLimit.has_value());
    m_randomSeed->setOn(!f.sampling().seed);
    m_fixedSeed->setOn(f.sampling().seed.has_value());
    for (auto it = m_fields.cbegin(); it != m_fields.cend(); ++it) {
        QLineEdit* field = it.value();
        const bool off = (it.key() == Setting::replyLimit && !f.sampling().replyLimit)
                         || (it.key() == Setting::seed && !f.sampling().seed);
        field->setEnabled(!off);
        static_cast<NameFrame*>(m_fieldFrames.value(it.key()))->setFaded(off);
        // The field being typed in keeps its text, refused or not.
        if (!field->hasFocus() && field->text() != f.valueText(it.key())) {
            field->setText(f.valueText(it.key()));
            m_refusalRows.value(it.key())->setVisible(false);
        }
    }
}

qreal EditModelForm::nameFieldOpacity() const
{
    return fade(static_cast<NameFrame*>(m_nameFrame)->isFaded());
}

int EditModelForm::heightForWidth(int) const
{
    return m_column->totalHeightForWidth(kWidth);
}

QSize EditModelForm::sizeHint() const
{
    return {kWidth, heightForWidth(kWidth)};
}

} // namespace cvn
