#include "app/ip_dialog.h"

#include <cstdio>
#include <cstring>

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Window.H>
#include <FL/fl_ask.H>

#include "app/startup.h"
#include "probe/adapters.h"
#include "probe/netaddr.h"
#include "probe/settings.h"

static IpUi* g_ip_ui;

void ip_dialog_register(IpUi* ui) { g_ip_ui = ui; }

void ip_setup_action() {
  if (g_ip_ui) g_ip_ui->ip_setup_action();
}

IpUi* IpUi::owner(Fl_Widget* w) {
  Fl_Window* win = w ? w->window() : nullptr;
  return win ? static_cast<IpUi*>(win->user_data()) : nullptr;
}

void IpUi::cb_close(Fl_Widget*, void* data) {
  if (data) static_cast<IpUi*>(data)->close_action();
}

void IpUi::cb_done(Fl_Widget* w, void*) {
  if (IpUi* ui = owner(w)) ui->close_action();
}

void IpUi::cb_set_address(Fl_Widget* w, void*) {
  if (IpUi* ui = owner(w)) ui->set_address_action();
}

static Fl_Check_Button* choice(int x, int y, int w, int h, const char* label) {
  Fl_Check_Button* b = new Fl_Check_Button(x, y, w, h, label);
  b->type(FL_RADIO_BUTTON);
  b->box(FL_UP_BOX);
  b->down_box(FL_DOWN_BOX);
  return b;
}

Fl_Window* IpUi::make() {
  window = new Fl_Window(521, 574, "IP setup");
  window->callback(cb_close, this);
  window->user_data(this);

  new Fl_Box(20, 10, 380, 40, "Qumex uses 192.168.nn.yy  for 2-computer communication");

  Fl_Group* list = new Fl_Group(25, 80, 482, 225);
  list->box(FL_FLAT_BOX);
  list->color(static_cast<Fl_Color>(207));
  for (int i = 0; i < IP_ADAPTER_ROWS; i++) {
    adapters[i] = new Fl_Button(48, 90 + 36 * i, 435, 25);
    adapters[i]->down_box(FL_DOWN_BOX);
    // One adapter at a time: the rows are radio buttons of their own group.
    adapters[i]->type(FL_RADIO_BUTTON);
  }
  list->end();

  Fl_Group* parts = new Fl_Group(85, 315, 225, 100);
  client = choice(85, 315, 170, 25, "Client (game) yy=2");
  therapist = choice(85, 355, 170, 25, "Therapist       yy=1");
  automatic = choice(85, 390, 225, 25, "Reset to automatic (DHCP)");
  parts->end();

  group = new Fl_Input(365, 320, 55, 25, "IP group = nn");
  group->type(FL_INT_INPUT);
  group->color(static_cast<Fl_Color>(246));

  Fl_Button* set = new Fl_Button(215, 425, 130, 40, "Try Setting Address");
  set->color(static_cast<Fl_Color>(93));
  set->callback(cb_set_address);

  Fl_Button* done = new Fl_Button(217, 480, 125, 35, "Done");
  done->color(static_cast<Fl_Color>(22));
  done->callback(cb_done);

  output = new Fl_Output(40, 45, 340, 25, "output:");
  output->labeltype(FL_NO_LABEL);

  window->end();
  return window;
}

Fl_Window* make_ip_dialog(IpUi* ui) { return ui ? ui->make() : nullptr; }

void IpUi::refresh_adapters() {
  AdapterEntry* table = list_adapters(current_ip_text());
  listing_failed = (table == nullptr);
  if (!table) {
    close_action();
    return;
  }
  for (int i = 0; i < IP_ADAPTER_ROWS; i++) {
    Fl_Button* b = adapters[i];
    const AdapterEntry& e = table[i];
    if (e.state != 0) {
      // Only wired adapters take the two-computer address.
      if (e.wired) b->activate();
      else b->deactivate();
    } else {
      b->value(0);
      b->deactivate();
    }
    // The listing runs three times a second; repainting unchanged rows makes them flicker.
    if (b->label() != adapter_text[i] || std::strcmp(adapter_text[i], e.line) != 0) {
      std::snprintf(adapter_text[i], sizeof adapter_text[i], "%s", e.line);
      b->label(adapter_text[i]);
      b->redraw();
    }
  }
}

void IpUi::ip_setup_action() {
  if (!window) return;
  if (main_window) main_window->hide();
  group->value("10");
  client->value(0);
  therapist->value(0);
  if (role_name && role_name[0] == 'T') therapist->value(1);
  if (role_name && role_name[0] == 'G') client->value(1);
  output->value(host_line);
  window->show();
  while (window->shown()) {
    update_host_line();
    output->value(host_line);
    refresh_adapters();
    if (!window->shown()) break;
    Fl::wait(0.3);
  }
}

void IpUi::close_action() {
  if (window) window->hide();
  if (main_window) main_window->show();
  if (main_address) main_address->value(host_line);
}

void IpUi::set_address_action() {
  int nn = setting_number(group->value());  // atoi's reading, without its overflow
  if (nn < 0 || nn > 254) {
    fl_beep(FL_BEEP_ERROR);
    return;
  }
  if (!client->value() && !therapist->value() && !automatic->value()) {
    fl_beep(FL_BEEP_ERROR);
    return;
  }
  int chosen = -1;
  for (int i = 0; i < IP_ADAPTER_ROWS && chosen < 0; i++)
    if (adapters[i]->value()) chosen = i;
  if (chosen < 0) {
    fl_beep(FL_BEEP_ERROR);
    return;
  }
  if (listing_failed) return;
  int part = client->value() ? PART_CLIENT : therapist->value() ? PART_THERAPIST : PART_AUTOMATIC;
  set_two_computer_address(part, adapter_table[chosen].name, nn);
  output->value(host_line);
  if (main_address) main_address->value(host_line);
}
