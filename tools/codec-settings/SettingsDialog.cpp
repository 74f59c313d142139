// The settings dialog of one codec.
#include "SettingsDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <limits>

#include "OptionText.h"

namespace vireo::server::codecsettings::dialog {

namespace {

namespace ex = vireo::server::exporting;

QString Text(std::string const& text) {
    return QString::fromStdString(text);
}

int ClampToInt(std::int64_t value) {
    if (value > std::numeric_limits<int>::max()) {
        return std::numeric_limits<int>::max();
    }
    if (value < std::numeric_limits<int>::min()) {
        return std::numeric_limits<int>::min();
    }
    return int(value);
}

// The option's meaning and, on a second line, its limits and default, shown under its control.
QString Hint(ex::CodecOption const& option) {
    QString hint = Text(option.meaning);
    if (!hint.isEmpty()) {
        hint[0] = hint[0].toUpper();
    }
    if (!option.isChoice) {
        hint += QStringLiteral("\n%1 to %2, default %3")
                    .arg(option.minimum)
                    .arg(option.maximum)
                    .arg(option.defaultNumber);
    } else {
        hint += QStringLiteral("\nDefault: %1")
                    .arg(Text(ChoiceText(option.name, option.defaultChoice)));
    }
    return hint;
}

}  // namespace

SettingsDialog::SettingsDialog(std::string const& codecName, ex::CodecSettings const& start,
                               std::string const& notice)
    : mCodec(start.codec) {
    setWindowTitle(Text(codecName + " Settings"));
    auto* layout = new QVBoxLayout(this);

    auto* heading = new QLabel(Text(codecName), this);
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    layout->addWidget(heading);

    if (!notice.empty()) {
        auto* note = new QLabel(Text(notice), this);
        note->setObjectName(QStringLiteral("notice"));
        note->setWordWrap(true);
        layout->addWidget(note);
    }

    auto* form = new QFormLayout();
    form->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
    for (auto const& option : ex::CodecOptions(mCodec)) {
        Control control;
        control.option = option;
        QWidget* field = nullptr;
        if (option.isChoice) {
            control.choice = new QComboBox(this);
            for (auto const& choice : option.choices) {
                control.choice->addItem(Text(ChoiceText(option.name, choice)), Text(choice));
            }
            connect(control.choice, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
                    [this] { UpdateEnabled(); });
            field = control.choice;
        } else {
            control.number = new QSpinBox(this);
            control.number->setRange(ClampToInt(option.minimum), ClampToInt(option.maximum));
            std::string const unit = OptionUnit(option.name);
            if (!unit.empty()) {
                control.number->setSuffix(Text(" " + unit));
            }
            if (option.name == "quantiser" && option.minimum == 0) {
                control.number->setSpecialValueText(
                    QStringLiteral("Automatic (the profile's data rate)"));
            }
            field = control.number;
        }
        field->setObjectName(Text(option.name));
        field->setToolTip(Text(option.meaning));

        auto* label = new QLabel(Text(OptionLabel(option.name)), this);
        label->setBuddy(field);
        auto* hint = new QLabel(Hint(option), this);
        QFont small = hint->font();
        small.setPointSizeF(small.pointSizeF() * 0.85);
        hint->setFont(small);
        hint->setForegroundRole(QPalette::PlaceholderText);

        auto* cell = new QWidget(this);
        auto* cellLayout = new QVBoxLayout(cell);
        cellLayout->setContentsMargins(0, 0, 0, 0);
        cellLayout->setSpacing(2);
        cellLayout->addWidget(field);
        cellLayout->addWidget(hint);
        form->addRow(label, cell);
        mControls.push_back(control);
    }
    layout->addLayout(form);

    auto* buttons = new QDialogButtonBox(
        QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::RestoreDefaults, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons->button(QDialogButtonBox::RestoreDefaults), &QPushButton::clicked, this,
            [this] { Show(ex::DefaultCodecSettings(mCodec)); });
    buttons->button(QDialogButtonBox::Ok)->setDefault(true);
    layout->addWidget(buttons);

    Show(start);
    layout->setSizeConstraint(QLayout::SetMinimumSize);
}

void SettingsDialog::Show(ex::CodecSettings const& settings) {
    for (auto& control : mControls) {
        if (control.choice != nullptr) {
            int const index = control.choice->findData(Text(settings.Choice(control.option.name)));
            control.choice->setCurrentIndex(index >= 0 ? index : 0);
        } else {
            control.number->setValue(ClampToInt(settings.Number(control.option.name)));
        }
    }
    UpdateEnabled();
}

// Controls that have no effect with the other choices made are greyed out (their values are
// kept): the bitrate without rate control by bitrate, B-frames with the baseline profile.
void SettingsDialog::UpdateEnabled() {
    auto enable = [this](char const* name, bool enabled) {
        if (Control const* control = Find(name)) {
            QWidget* field = control->number != nullptr ? static_cast<QWidget*>(control->number)
                                                        : control->choice;
            field->setEnabled(enabled);
        }
    };
    if (Find("rateControl") != nullptr) {
        enable("bitrate", ChoiceOf("rateControl") == "bitrate");
    }
    if (Find("profile") != nullptr) {
        enable("bFrames", ChoiceOf("profile") != "baseline");
    }
}

SettingsDialog::Control const* SettingsDialog::Find(std::string const& name) const {
    for (auto const& control : mControls) {
        if (control.option.name == name) {
            return &control;
        }
    }
    return nullptr;
}

std::string SettingsDialog::ChoiceOf(std::string const& name) const {
    Control const* control = Find(name);
    if (control == nullptr || control->choice == nullptr) {
        return std::string();
    }
    return control->choice->currentData().toString().toStdString();
}

ex::CodecSettings SettingsDialog::Settings() const {
    ex::CodecSettings settings;
    settings.codec = mCodec;
    for (auto const& control : mControls) {
        ex::OptionValue value;
        if (control.choice != nullptr) {
            value.isChoice = true;
            value.choice = control.choice->currentData().toString().toStdString();
        } else {
            value.number = control.number->value();
        }
        settings.options[control.option.name] = value;
    }
    return settings;
}

}  // namespace vireo::server::codecsettings::dialog
