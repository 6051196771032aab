#pragma once
// Accepts decimal digits only, up to the edit's length limit. Cheaper to create than a regular expression
// validator, which matters for the start-up of a window with a dozen such fields.

#include <QValidator>

class DigitsValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override {
        for (QChar c : input) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
                return Invalid;
            }
        }
        return Acceptable;
    }
};
