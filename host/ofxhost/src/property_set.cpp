// The host's typed property sets: readers and writers for host code and tests.
#include "ofxhost/ofx_host.h"

namespace ofxhost {

PropertySet::PropertySet(const PropertySet& other) {
  std::lock_guard<std::recursive_mutex> lock(other.mu);
  props = other.props;
}

PropertySet& PropertySet::operator=(const PropertySet& other) {
  if (this == &other) return *this;
  std::map<std::string, Property> copy;
  {
    std::lock_guard<std::recursive_mutex> lock(other.mu);
    copy = other.props;
  }
  std::lock_guard<std::recursive_mutex> lock(mu);
  props = std::move(copy);
  return *this;
}

bool PropertySet::has(const std::string& name) const {
  std::lock_guard<std::recursive_mutex> lock(mu);
  return props.count(name) != 0;
}

namespace {

template <typename T>
T read(const PropertySet& set, const std::string& name, int index, Property::Type type,
       const std::vector<T> Property::*values, T fallback) {
  std::lock_guard<std::recursive_mutex> lock(set.mu);
  auto it = set.props.find(name);
  if (it == set.props.end() || it->second.type != type || index < 0) return fallback;
  const std::vector<T>& v = it->second.*values;
  return index < static_cast<int>(v.size()) ? v[index] : fallback;
}

template <typename T>
void write(PropertySet& set, const std::string& name, Property::Type type, std::vector<T> Property::*values,
           std::vector<T> v) {
  std::lock_guard<std::recursive_mutex> lock(set.mu);
  Property p;
  p.type = type;
  p.*values = std::move(v);
  set.props[name] = std::move(p);
}

}  // namespace

std::string PropertySet::str(const std::string& name, int index, const std::string& fallback) const {
  return read(*this, name, index, Property::Type::String, &Property::strings, fallback);
}

int PropertySet::integer(const std::string& name, int index, int fallback) const {
  return read(*this, name, index, Property::Type::Int, &Property::ints, fallback);
}

double PropertySet::dbl(const std::string& name, int index, double fallback) const {
  return read(*this, name, index, Property::Type::Double, &Property::doubles, fallback);
}

void* PropertySet::ptr(const std::string& name, int index) const {
  return read<void*>(*this, name, index, Property::Type::Pointer, &Property::pointers, nullptr);
}

int PropertySet::dimension(const std::string& name) const {
  std::lock_guard<std::recursive_mutex> lock(mu);
  auto it = props.find(name);
  if (it == props.end()) return 0;
  const Property& p = it->second;
  switch (p.type) {
    case Property::Type::String:
      return static_cast<int>(p.strings.size());
    case Property::Type::Int:
      return static_cast<int>(p.ints.size());
    case Property::Type::Double:
      return static_cast<int>(p.doubles.size());
    case Property::Type::Pointer:
      return static_cast<int>(p.pointers.size());
  }
  return 0;
}

void PropertySet::set_str(const std::string& name, std::vector<std::string> values) {
  write(*this, name, Property::Type::String, &Property::strings, std::move(values));
}

void PropertySet::set_int(const std::string& name, std::vector<int> values) {
  write(*this, name, Property::Type::Int, &Property::ints, std::move(values));
}

void PropertySet::set_dbl(const std::string& name, std::vector<double> values) {
  write(*this, name, Property::Type::Double, &Property::doubles, std::move(values));
}

void PropertySet::set_ptr(const std::string& name, std::vector<void*> values) {
  write(*this, name, Property::Type::Pointer, &Property::pointers, std::move(values));
}

}  // namespace ofxhost
