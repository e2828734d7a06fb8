// The graph picture: a persistent image, so a covered and uncovered window
// shows the same graph again.
#pragma once

#include <QImage>
#include <QWidget>

namespace varnel::app {

class GraphView : public QWidget {
 public:
  // Inner size of the picture in pixels.
  static constexpr int kWidth = 1000;
  static constexpr int kHeight = 330;

  explicit GraphView(QWidget* parent = nullptr);
  QImage& Image() { return image_; }
  // Shows the image now (the drawing has changed).
  void Refresh() { repaint(); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QImage image_;
};

}  // namespace varnel::app
