#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

namespace tavlo {

// The writer's status banner: states 0 (off) to 4 (failed), each with its
// background, text colour and text, the text heavy and centred. It shares
// only its name with the download tool's row dot, hence the namespace.
class CColorWnd final : public QWidget {
  Q_OBJECT

 public:
  // The texts are taken (translated) once, as the banner is made. States
  // come from the window model, which keeps them in range.
  explicit CColorWnd(QWidget* pParent);

  void SetStatus(int nState);
  int Status() const { return m_nState; }
  QString Text() const;
  QColor BkColor() const;
  QColor TextColor() const;

 protected:
  void paintEvent(QPaintEvent* pEvent) override;

 private:
  int m_nState = 0;
  QString m_texts[5];
};

}  // namespace tavlo
