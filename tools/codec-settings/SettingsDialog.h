#pragma once
// The settings dialog of one codec: one control per option the codec's encoder honours, with
// the option's limits, filled from the starting settings.
#include <QDialog>
#include <cstdint>
#include <string>
#include <vector>

#include "export/CodecSettings.h"

class QComboBox;
class QSpinBox;
class QWidget;

namespace vireo::server::codecsettings::dialog {

class SettingsDialog : public QDialog {
  public:
    // `notice`: a line shown above the controls (for example that the starting data could not
    // be read), or "".
    SettingsDialog(std::string const& codecName, exporting::CodecSettings const& start,
                   std::string const& notice);

    // The settings the controls show now.
    exporting::CodecSettings Settings() const;

  private:
    struct Control {
        exporting::CodecOption option;
        QSpinBox* number = nullptr;
        QComboBox* choice = nullptr;
    };

    void Show(exporting::CodecSettings const& settings);
    void UpdateEnabled();
    Control const* Find(std::string const& name) const;
    std::string ChoiceOf(std::string const& name) const;

    std::uint32_t mCodec = 0;
    std::vector<Control> mControls;
};

}  // namespace vireo::server::codecsettings::dialog
