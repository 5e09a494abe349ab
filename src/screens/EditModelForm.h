#pragma once

#include "screens/EditModelFormModel.h"
#include "ui_kit/Theme.h"

#include <QHash>

#include <QPointer>
#include <QWidget>

class QLineEdit;
class QVBoxLayout;

namespace cvn {

class CvnButton;
class CvnCardSlider;
class CvnTextArea;
class CvnComboBox;
class CvnRadioButton;

// A wrapping line of the form, in one theme colour, with its text replaceable.
class FormText : public QWidget {
public:
    FormText(const QString& text, DynamicColor color, QWidget* parent = nullptr);
    QString text() const { return m_text; }
    void setText(const QString& text);
    DynamicColor color() const { return m_color; }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return {0, heightForWidth(width())}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_text;
    DynamicColor m_color;
};

// The body of the "Edit model" dialog: DISPLAY NAME (automatic, file name or
// custom), CONTEXT SIZE (automatic, or a manual step with its RAM figures and
// warning), CHAT TEMPLATE, IMAGES (the projector the model sees images
// through: automatic, one that fits, or none), INSTRUCTIONS (the system message of every reply)
// and SAMPLING (a field per setting with its range and default, automatic or
// fixed reply length limit, random or fixed seed, "Restore defaults"), 520
// wide, drawn on the dialog's ink card. A typed value out of its range is
// refused in place: the setting keeps its value, and the line below the
// field says the range until the text is fixed or the field is left (which
// shows the kept value again).
//
// It only shows and writes the form model, which its host owns and which
// must outlive it; every change of the model redraws it.
// Main thread only.
class EditModelForm : public QWidget {
    Q_OBJECT

public:
    static constexpr int kWidth = 520;
    static constexpr int kIndent = 32;

    explicit EditModelForm(EditModelFormModel* form, QWidget* parent = nullptr);

    EditModelFormModel* form() const { return m_form; }

    CvnRadioButton* autoNameChoice() const { return m_autoName; }
    CvnRadioButton* originalNameChoice() const { return m_originalName; }
    CvnRadioButton* customNameChoice() const { return m_customName; }
    QLineEdit* nameField() const { return m_nameField; }
    QWidget* nameFrame() const { return m_nameFrame; }
    // 1 while the name is custom, else 0.5.
    qreal nameFieldOpacity() const;
    CvnRadioButton* autoContextChoice() const { return m_autoContext; }
    CvnRadioButton* manualContextChoice() const { return m_manualContext; }
    CvnCardSlider* slider() const { return m_slider; }
    FormText* autoCaption() const { return m_autoCaption; }
    FormText* manualCaption() const { return m_manualCaption; }
    FormText* trainedCaption() const { return m_trainedCaption; }
    FormText* warning() const { return m_warning; }
    CvnComboBox* templateChoice() const { return m_template; }
    // The IMAGES section: hidden for a projector; its choice hidden while
    // no projector fits, when the caption says why.
    QWidget* imagesSection() const { return m_imagesSection; }
    CvnComboBox* projectorChoice() const { return m_projector; }
    FormText* projectorCaption() const { return m_projectorCaption; }
    CvnTextArea* instructionsField() const { return m_instructions; }
    using Setting = EditModelFormModel::Setting;
    QLineEdit* samplingField(Setting setting) const { return m_fields.value(setting); }
    // The refusal line under a setting's field; hidden while none shows.
    FormText* refusalLine(Setting setting) const { return m_refusals.value(setting); }
    QWidget* refusalRow(Setting setting) const { return m_refusalRows.value(setting); }
    CvnRadioButton* autoLimitChoice() const { return m_autoLimit; }
    CvnRadioButton* fixedLimitChoice() const { return m_fixedLimit; }
    CvnRadioButton* randomSeedChoice() const { return m_randomSeed; }
    CvnRadioButton* fixedSeedChoice() const { return m_fixedSeed; }
    CvnButton* restoreDefaultsButton() const { return m_restoreDefaults; }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;

private:
    void refresh();
    void nameEdited(const QString& text);
    void addImages();
    void addSampling();
    // A setting's row: its label and range, and its field; `indent` for the
    // fields under a radio choice.
    void addSettingRow(Setting setting, const QString& label, const QString& hint, int indent);
    void typed(Setting setting, const QString& text);

    QPointer<EditModelFormModel> m_form;
    QVBoxLayout* m_column;
    CvnRadioButton* m_autoName;
    CvnRadioButton* m_originalName;
    CvnRadioButton* m_customName;
    QWidget* m_nameFrame;
    QLineEdit* m_nameField;
    CvnRadioButton* m_autoContext;
    CvnRadioButton* m_manualContext;
    CvnCardSlider* m_slider;
    FormText* m_autoCaption;
    FormText* m_manualCaption;
    FormText* m_trainedCaption;
    FormText* m_warning;
    CvnComboBox* m_template;
    QWidget* m_imagesSection;
    CvnComboBox* m_projector;
    FormText* m_projectorCaption;
    // Holders of the optional rows: hidden with their padding.
    QWidget* m_autoCaptionRow;
    QWidget* m_manualCaptionRow;
    QWidget* m_trainedCaptionRow;
    QWidget* m_warningRow;
    CvnTextArea* m_instructions;
    QHash<Setting, QLineEdit*> m_fields;
    QHash<Setting, FormText*> m_refusals;
    QHash<Setting, QWidget*> m_refusalRows;
    QHash<Setting, QWidget*> m_fieldFrames;
    CvnRadioButton* m_autoLimit;
    CvnRadioButton* m_fixedLimit;
    CvnRadioButton* m_randomSeed;
    CvnRadioButton* m_fixedSeed;
    CvnButton* m_restoreDefaults;
};

} // namespace cvn
