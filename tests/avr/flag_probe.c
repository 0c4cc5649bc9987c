/* Checks, on whatever runs it, the ATmega328P's rule for its interrupt flags: a flag is cleared
 * by writing a one to it, and a zero leaves it alone. Each check sets a bit of GPIOR1 (and
 * GPIOR2) when the rule held; GPIOR0 counts the compare interrupts that ran; 0xA5 in EEDR says
 * the probe got to its end. The simulated board is judged by these, not by the firmware. */
#include <avr/interrupt.h>
#include <avr/io.h>

ISR(TIMER0_COMPA_vect) { GPIOR0 |= 0x01; }
ISR(TIMER1_COMPA_vect) { GPIOR0 |= 0x02; }
ISR(TIMER1_COMPB_vect) { GPIOR0 |= 0x04; }
ISR(TIMER2_COMPA_vect) { GPIOR0 |= 0x08; }

static void pause(void) {
  for (volatile uint8_t i = 0; i < 20; ++i) {
  }
}

int main(void) {
  uint8_t held = 0;
  uint8_t held2 = 0;
  cli();

  /* Timer1: compare A comes due with interrupts off; clearing B's flag must leave A's. */
  TCCR1A = 0;
  OCR1A = 100;
  OCR1B = 60000;
  TCNT1 = 0;
  TIMSK1 = _BV(OCIE1A) | _BV(OCIE1B);
  TCCR1B = _BV(CS10);
  while ((TIFR1 & _BV(OCF1A)) == 0) {
  }
  TIFR1 = _BV(OCF1B);
  if (TIFR1 & _BV(OCF1A)) held |= 0x01;
  sei();
  pause();
  cli();
  if (GPIOR0 & 0x02) held |= 0x02;

  /* ...and writing a one to A's flag clears it: no interrupt follows. */
  GPIOR0 = 0;
  TCNT1 = 0;
  while ((TIFR1 & _BV(OCF1A)) == 0) {
  }
  TIFR1 = _BV(OCF1A);
  if ((TIFR1 & _BV(OCF1A)) == 0) held |= 0x04;
  sei();
  pause();
  cli();
  if ((GPIOR0 & 0x02) == 0) held |= 0x08;
  TCCR1B = 0;
  TIMSK1 = 0;

  /* Timer0 and Timer2 the same way, compare A pending while B's flag is written. */
  GPIOR0 = 0;
  TCCR0A = 0;
  OCR0A = 40;
  OCR0B = 250;
  TCNT0 = 0;
  TIMSK0 = _BV(OCIE0A);
  TCCR0B = _BV(CS00);
  while ((TIFR0 & _BV(OCF0A)) == 0) {
  }
  TIFR0 = _BV(OCF0B);
  if (TIFR0 & _BV(OCF0A)) held |= 0x10;
  sei();
  pause();
  cli();
  if (GPIOR0 & 0x01) held |= 0x20;
  TCCR0B = 0;
  TIMSK0 = 0;

  TCCR2A = 0;
  OCR2A = 40;
  OCR2B = 250;
  TCNT2 = 0;
  TIMSK2 = _BV(OCIE2A);
  TCCR2B = _BV(CS20);
  while ((TIFR2 & _BV(OCF2A)) == 0) {
  }
  TIFR2 = _BV(OCF2B);
  if (TIFR2 & _BV(OCF2A)) held |= 0x40;
  sei();
  pause();
  cli();
  if (GPIOR0 & 0x08) held |= 0x80;
  TCCR2B = 0;
  TIMSK2 = 0;

  /* The UART's transmit-complete flag: a write of U2X0 alone keeps it, a one clears it. */
  UBRR0 = 16;
  UCSR0A = _BV(U2X0);
  UCSR0B = _BV(TXEN0);
  UDR0 = 0x55;
  while ((UCSR0A & _BV(TXC0)) == 0) {
  }
  UCSR0A = _BV(U2X0);
  if (UCSR0A & _BV(TXC0)) held2 |= 0x01;
  UCSR0A = _BV(U2X0) | _BV(TXC0);
  if ((UCSR0A & _BV(TXC0)) == 0) held2 |= 0x02;

  /* The TWI's step-done flag: a start condition sets it; a write with TWINT zero keeps it. */
  TWBR = 72;
  TWCR = _BV(TWINT) | _BV(TWSTA) | _BV(TWEN);
  for (uint16_t spins = 0; spins < 2000 && (TWCR & _BV(TWINT)) == 0; ++spins) {
  }
  if (TWCR & _BV(TWINT)) {
    TWCR = _BV(TWEN);
    if (TWCR & _BV(TWINT)) held2 |= 0x04;
  }
  TWCR = _BV(TWINT) | _BV(TWSTO) | _BV(TWEN);

  GPIOR1 = held;
  GPIOR2 = held2;
  EEDR = 0xA5;
  for (;;) {
  }
}
