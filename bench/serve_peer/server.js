// The payment example's five constraints as CEL expressions, decided per
// POST /eval with the same request and answer shapes as verdane serve.
// Prints `listening on http://HOST:PORT` once it listens (port 0 picks one).
import cluster from 'node:cluster'
import Fastify from 'fastify'
import {parse} from '@marcbachmann/cel-js'

const workers = Number(process.env.WORKERS || 1)
const constraints = [
  ['(0 < intent.amount) && (intent.amount <= (evidence.balance - evidence.fee))',
   'intent.amount > 0 && intent.amount <= evidence.balance - evidence.fee'],
  ['(intent.currency in {"CHF", "EUR", "USD"})', 'intent.currency in ["CHF", "EUR", "USD"]'],
  ['(not (intent.payee in evidence.blocked_payees))', '!(intent.payee in evidence.blocked_payees)'],
  ['(date(2024-01-01) <= intent.execute_on) && (intent.execute_on <= evidence.cutoff)',
   '"2024-01-01" <= intent.execute_on && intent.execute_on <= evidence.cutoff'],
  ['((intent.amount + evidence.fee) <= intent.daily_limit)',
   '!has(intent.daily_limit) || intent.amount + evidence.fee <= intent.daily_limit'],
].map(([text, cel]) => [text, parse(cel)])

function decide(request) {
  const outcomes = []
  constraints.forEach(([expression, check], index) => {
    let ok
    try {
      ok = check(request) === true
    } catch (e) {
      outcomes.push({index, outcome: 'errored', expression, reason: String(e.message)})
      return
    }
    if (!ok) outcomes.push({index, outcome: 'failed', expression, reason: 'constraint evaluated to False'})
  })
  return outcomes.length === 0 ? {decision: 'pass'} : {decision: 'fail', outcomes}
}

if (cluster.isPrimary && workers > 1) {
  const port = Number(process.env.PORT)
  for (let i = 0; i < workers; i++) cluster.fork({PORT: String(port)})
  console.log(`listening on http://127.0.0.1:${port}`)
} else {
  const app = Fastify({logger: false})
  app.post('/eval', async (req) => decide(req.body))
  const address = await app.listen({host: '127.0.0.1', port: Number(process.env.PORT || 0)})
  if (workers === 1) console.log(`listening on ${address}`)
}
