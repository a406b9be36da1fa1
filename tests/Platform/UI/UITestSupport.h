#pragma once

#include <cstdlib>
#include <memory>
#include <string>

#include "Support/TestSupport.h"
#include "varenstt/Platform/UIViewController.h"

namespace varen::test {

// A controller with one outlet of each kind and a tap action, counting its lifecycle calls.
class SampleController : public platform::ViewController {
  public:
    explicit SampleController(std::string nibName) : ViewController(std::move(nibName)) {
        registerOutlet<platform::View>("panel", [this](auto& v) { panel = v; });
        registerOutlet<platform::Label>("title", [this](auto& v) { title = v; });
        registerOutlet<platform::LayoutConstraint>("width", [this](auto& c) { width = c; });
        registerAction("tapped", [this](platform::TapGestureRecognizer&) { ++taps; });
    }
    void viewDidLoad() override { ++loads; }
    void viewDidLayoutSubviews() override { ++layouts; }
    void viewDidAppear(bool) override { ++appearances; }
    void didReceiveMemoryWarning() override { ++warnings; }

    std::weak_ptr<platform::View> panel;
    std::weak_ptr<platform::Label> title;
    std::weak_ptr<platform::LayoutConstraint> width;
    int taps = 0, loads = 0, layouts = 0, appearances = 0, warnings = 0;
};

inline constexpr const char* kSampleLayout = R"({
  "root": {"id": "root", "frame": [0, 0, 320, 240],
    "gestures": [{"class": "TapGestureRecognizer", "action": "tapped"}],
    "subviews": [
      {"id": "panel", "frame": [20, 20, 200, 100], "backgroundColor": [1, 1, 1, 1],
       "subviews": [{"id": "title", "class": "Label", "frame": [0, 0, 200, 20], "text": "Hello"}]},
      {"id": "dot", "frame": [100, 150, 40, 40], "cornerRadius": 20}
    ]},
  "constraints": [{"id": "width", "item": "dot", "attribute": "width", "constant": 40}],
  "outlets": {"panel": "panel", "title": "title", "width": "width"}
})";

// Writes layout resources into a fresh folder and points the resource search at it.
class ResourceFolder {
  public:
    ResourceFolder() { ::setenv("VARENSTT_RESOURCE_DIR", directory_.path().c_str(), 1); }
    ~ResourceFolder() { ::unsetenv("VARENSTT_RESOURCE_DIR"); }
    void write(const std::string& name, const std::string& text) {
        writeTextFile(directory_.path() / (name + ".json"), text);
    }
    std::string path() const { return directory_.path().string(); }

  private:
    TemporaryDirectory directory_;
};

}  // namespace varen::test
