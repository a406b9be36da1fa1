#include "Platform/UI/LayoutResource.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

namespace varen::platform::ui {

namespace {

using nlohmann::json;

// A layout nested deeper than this is refused rather than walked.
constexpr int maxDepth = 32;

Error layoutError(LayoutResourceErrorCode code, const std::string& text) {
    return Error::withDescription(LayoutResourceErrorDomain, code, text);
}

// Thrown inside the builder only; turned into an invalid-resource error at its edge.
struct Invalid {
    std::string where;
    std::string problem;
};

class Builder {
  public:
    LayoutContents build(const json& document) {
        if (!document.is_object()) throw Invalid{"the document", "expected an object"};
        checkKeys(document, "the document", {"root", "constraints", "outlets"});
        if (!document.contains("root")) throw Invalid{"the document", "\"root\" is missing"};
        contents_.root = view(document["root"], "root", 0);
        if (document.contains("constraints")) constraints(document["constraints"]);
        if (document.contains("outlets")) outlets(document["outlets"]);
        return std::move(contents_);
    }

  private:
    static void checkKeys(const json& object, const std::string& where,
                          std::initializer_list<const char*> allowed) {
        for (const auto& item : object.items()) {
            bool known = false;
            for (const char* key : allowed) known = known || item.key() == key;
            if (!known) throw Invalid{where, "unknown key \"" + item.key() + "\""};
        }
    }

    static double number(const json& value, const std::string& where) {
        if (!value.is_number()) throw Invalid{where, "expected a number"};
        const double result = value.get<double>();
        if (!std::isfinite(result)) throw Invalid{where, "expected a finite number"};
        return result;
    }

    static std::string string(const json& value, const std::string& where) {
        if (!value.is_string()) throw Invalid{where, "expected a string"};
        return value.get<std::string>();
    }

    static Rect frame(const json& value, const std::string& where) {
        if (!value.is_array() || value.size() != 4) {
            throw Invalid{where, "expected [x, y, width, height]"};
        }
        Rect rect{number(value[0], where + "[0]"), number(value[1], where + "[1]"),
                  number(value[2], where + "[2]"), number(value[3], where + "[3]")};
        if (rect.width < 0 || rect.height < 0) throw Invalid{where, "negative size"};
        return rect;
    }

    static Color color(const json& value, const std::string& where) {
        if (!value.is_array() || value.size() != 4) {
            throw Invalid{where, "expected [red, green, blue, alpha]"};
        }
        double parts[4];
        for (std::size_t i = 0; i < 4; ++i) {
            const std::string at = where + "[" + std::to_string(i) + "]";
            parts[i] = number(value[i], at);
            if (parts[i] < 0.0 || parts[i] > 1.0) throw Invalid{at, "expected 0 to 1"};
        }
        return Color::colorWithRedGreenBlueAlpha(parts[0], parts[1], parts[2], parts[3]);
    }

    void addObject(const std::string& id, const LayoutObject& object, const std::string& where) {
        if (id.empty()) throw Invalid{where, "empty id"};
        if (!contents_.objects.emplace(id, object).second) {
            throw Invalid{where, "duplicate id \"" + id + "\""};
        }
    }

    std::shared_ptr<View> view(const json& value, const std::string& where, int depth) {
        if (depth > maxDepth) throw Invalid{where, "views nested too deeply"};
        if (!value.is_object()) throw Invalid{where, "expected a view object"};
        auto result = viewOfClass(value, where);
        commonProperties(result, value, where);
        if (value.contains("gestures")) gestures(*result, value["gestures"], where + ".gestures");
        if (value.contains("subviews")) {
            const json& subviews = value["subviews"];
            if (!subviews.is_array()) throw Invalid{where + ".subviews", "expected an array"};
            for (std::size_t i = 0; i < subviews.size(); ++i) {
                result->addSubview(
                    view(subviews[i], where + ".subviews[" + std::to_string(i) + "]", depth + 1));
            }
        }
        return result;
    }

    // Creates the view named by "class" and sets what only that class has.
    static std::shared_ptr<View> viewOfClass(const json& value, const std::string& where) {
        const std::string kind =
            value.contains("class") ? string(value["class"], where + ".class") : "View";
        if (kind == "View") {
            checkKeys(value, where,
                      {"id", "class", "frame", "hidden", "backgroundColor", "cornerRadius",
                       "subviews", "gestures"});
            return View::create();
        }
        if (kind == "Label") return label(value, where);
        if (kind == "ImageView") return imageView(value, where);
        throw Invalid{where + ".class", "unknown class \"" + kind + "\""};
    }

    static std::shared_ptr<View> label(const json& value, const std::string& where) {
        checkKeys(value, where,
                  {"id", "class", "frame", "hidden", "backgroundColor", "cornerRadius", "subviews",
                   "gestures", "text", "textColor", "textAlignment"});
        auto label = Label::create();
        if (value.contains("text")) label->setText(string(value["text"], where + ".text"));
        if (value.contains("textColor")) {
            label->setTextColor(color(value["textColor"], where + ".textColor"));
        }
        if (value.contains("textAlignment")) {
            label->setTextAlignment(
                textAlignment(value["textAlignment"], where + ".textAlignment"));
        }
        return label;
    }

    static TextAlignment textAlignment(const json& value, const std::string& where) {
        const std::string alignment = string(value, where);
        if (alignment == "left") return TextAlignment::left;
        if (alignment == "center") return TextAlignment::center;
        if (alignment == "right") return TextAlignment::right;
        throw Invalid{where, "expected left, center or right"};
    }

    static std::shared_ptr<View> imageView(const json& value, const std::string& where) {
        checkKeys(value, where,
                  {"id", "class", "frame", "hidden", "backgroundColor", "cornerRadius", "subviews",
                   "gestures", "image", "tintColor"});
        auto imageView = ImageView::create();
        if (value.contains("image")) imageView->setImage(image(value["image"], where + ".image"));
        if (value.contains("tintColor")) {
            imageView->setTintColor(color(value["tintColor"], where + ".tintColor"));
        }
        return imageView;
    }

    static Image image(const json& value, const std::string& where) {
        if (!value.is_object()) throw Invalid{where, "expected {name, text}"};
        checkKeys(value, where, {"name", "text"});
        if (!value.contains("name")) throw Invalid{where, "\"name\" is missing"};
        return Image{
            string(value["name"], where + ".name"),
            value.contains("text") ? string(value["text"], where + ".text") : std::string()};
    }

    // What every class has: id, frame, hidden flag, background and corner radius.
    void commonProperties(const std::shared_ptr<View>& view, const json& value,
                          const std::string& where) {
        if (value.contains("id")) {
            const std::string id = string(value["id"], where + ".id");
            addObject(id, view, where + ".id");
            view->setIdentifier(id);
        }
        if (!value.contains("frame")) throw Invalid{where, "\"frame\" is missing"};
        view->setFrame(frame(value["frame"], where + ".frame"));
        if (value.contains("hidden")) {
            if (!value["hidden"].is_boolean())
                throw Invalid{where + ".hidden", "expected true or false"};
            view->setHidden(value["hidden"].get<bool>());
        }
        if (value.contains("backgroundColor")) {
            view->setBackgroundColor(color(value["backgroundColor"], where + ".backgroundColor"));
        }
        if (value.contains("cornerRadius")) {
            view->layer().setCornerRadius(number(value["cornerRadius"], where + ".cornerRadius"));
        }
    }

    void gestures(View& view, const json& value, const std::string& where) {
        if (!value.is_array()) throw Invalid{where, "expected an array"};
        for (std::size_t i = 0; i < value.size(); ++i) {
            const std::string at = where + "[" + std::to_string(i) + "]";
            const json& gesture = value[i];
            if (!gesture.is_object()) throw Invalid{at, "expected a gesture object"};
            checkKeys(gesture, at, {"class", "action"});
            if (!gesture.contains("class") ||
                string(gesture["class"], at + ".class") != "TapGestureRecognizer") {
                throw Invalid{at + ".class", "expected \"TapGestureRecognizer\""};
            }
            if (!gesture.contains("action")) throw Invalid{at, "\"action\" is missing"};
            auto recognizer =
                TapGestureRecognizer::create(string(gesture["action"], at + ".action"));
            view.addGestureRecognizer(recognizer);
            contents_.recognizers.push_back(recognizer);
        }
    }

    void constraints(const json& value) {
        if (!value.is_array()) throw Invalid{"constraints", "expected an array"};
        for (std::size_t i = 0; i < value.size(); ++i) {
            const std::string where = "constraints[" + std::to_string(i) + "]";
            const json& item = value[i];
            if (!item.is_object()) throw Invalid{where, "expected a constraint object"};
            checkKeys(item, where, {"id", "item", "attribute", "constant"});
            for (const char* key : {"item", "attribute", "constant"}) {
                if (!item.contains(key)) {
                    throw Invalid{where, std::string("\"") + key + "\" is missing"};
                }
            }
            const std::string itemId = string(item["item"], where + ".item");
            auto found = contents_.objects.find(itemId);
            auto target = found == contents_.objects.end()
                              ? nullptr
                              : std::get_if<std::shared_ptr<View>>(&found->second);
            if (!target) throw Invalid{where + ".item", "no view with id \"" + itemId + "\""};
            const std::string attribute = string(item["attribute"], where + ".attribute");
            LayoutAttribute parsed;
            if (attribute == "width") {
                parsed = LayoutAttribute::width;
            } else if (attribute == "height") {
                parsed = LayoutAttribute::height;
            } else {
                throw Invalid{where + ".attribute", "expected width or height"};
            }
            const double constant = number(item["constant"], where + ".constant");
            if (constant < 0) throw Invalid{where + ".constant", "negative size"};
            auto constraint = LayoutConstraint::create(*target, parsed, constant);
            if (item.contains("id")) {
                const std::string id = string(item["id"], where + ".id");
                addObject(id, constraint, where + ".id");
                constraint->setIdentifier(id);
            }
            (*target)->addConstraint(constraint);
        }
    }

    void outlets(const json& value) {
        if (!value.is_object()) throw Invalid{"outlets", "expected an object"};
        for (const auto& item : value.items()) {
            const std::string where = "outlets." + item.key();
            const std::string id = string(item.value(), where);
            if (!contents_.objects.count(id))
                throw Invalid{where, "no object with id \"" + id + "\""};
            contents_.outlets[item.key()] = id;
        }
    }

    LayoutContents contents_;
};

}  // namespace

std::vector<std::filesystem::path> layoutResourceFolders() {
    const char* override = std::getenv(ResourceDirEnvironmentVariable);
    if (override && *override) return {std::filesystem::path(override)};
    return {std::filesystem::path(VARENSTT_INSTALL_RESOURCE_DIR),
            std::filesystem::path(VARENSTT_BUILD_RESOURCE_DIR)};
}

LayoutLoad parseLayoutResource(const std::string& name, std::string_view text) {
    LayoutLoad load;
    json document;
    try {
        document = json::parse(text.begin(), text.end());
    } catch (const json::parse_error& error) {
        load.error = layoutError(LayoutResourceMalformed, "The layout resource \"" + name +
                                                              "\" is not valid JSON (at byte " +
                                                              std::to_string(error.byte) + ").");
        return load;
    }
    try {
        load.contents = Builder().build(document);
    } catch (const Invalid& invalid) {
        load.error = layoutError(LayoutResourceInvalid, "The layout resource \"" + name +
                                                            "\" is invalid: " + invalid.where +
                                                            ": " + invalid.problem + ".");
    }
    return load;
}

LayoutLoad loadLayoutResource(const std::string& name) {
    LayoutLoad load;
    const auto folders = layoutResourceFolders();
    std::error_code ignored;
    for (const auto& folder : folders) {
        const auto path = folder / (name + ".json");
        if (!std::filesystem::is_regular_file(path, ignored)) continue;
        const auto size = std::filesystem::file_size(path, ignored);
        if (ignored || size > maxLayoutResourceSize) {
            load.error =
                layoutError(LayoutResourceUnreadable,
                            "The layout resource \"" + path.string() + "\" is larger than " +
                                std::to_string(maxLayoutResourceSize) + " bytes.");
            return load;
        }
        std::ifstream file(path, std::ios::binary);
        std::ostringstream text;
        if (file.is_open()) text << file.rdbuf();
        if (!file.is_open() || file.bad()) {
            load.error =
                layoutError(LayoutResourceUnreadable,
                            "The layout resource \"" + path.string() + "\" could not be read.");
            return load;
        }
        return parseLayoutResource(name, text.str());
    }
    std::string searched;
    for (const auto& folder : folders) {
        if (!searched.empty()) searched += ", ";
        searched += folder.string();
    }
    load.error = layoutError(
        LayoutResourceNotFound,
        "The layout resource \"" + name + ".json\" was not found (searched: " + searched + ").");
    return load;
}

}  // namespace varen::platform::ui
